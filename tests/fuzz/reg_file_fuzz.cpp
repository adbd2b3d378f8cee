// Fuzz target: the host's .reg reader. Any text is either refused with a RegFileError that
// leaves the tree as it was, or loaded; a loaded tree is written back, read again from what was
// written into a tree without those roots, and written again to the same text.
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_support.h"
#include "host/registry/registry.h"

namespace {

namespace reg = host::registry;

constexpr std::string_view kUser = "\\REGISTRY\\USER";

// Both roots a file can write to, each as a file of its own.
std::pair<std::string, std::string> SaveBothRoots() { return {reg::SaveRegText(reg::kMachine), reg::SaveRegText(kUser)}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reg::Reset();
  const auto empty = SaveBothRoots();
  try {
    reg::LoadRegText(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg");
  } catch (const reg::RegFileError&) {
    FUZZ_CHECK(SaveBothRoots() == empty);
    return 0;
  }
  const auto saved = SaveBothRoots();
  reg::DeleteKey(reg::kMachine);
  reg::DeleteKey(kUser);
  try {
    reg::LoadRegText(saved.first, "machine.reg");
    reg::LoadRegText(saved.second, "user.reg");
  } catch (const reg::RegFileError&) {
    FUZZ_CHECK(!"a written tree loads again");
  }
  FUZZ_CHECK(SaveBothRoots() == saved);
  return 0;
}
