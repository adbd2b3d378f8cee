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

// Loads the text into a tree holding only the well-known keys and checks what came of it.
void CheckText(const uint8_t* data, size_t size) {
  const auto empty = SaveBothRoots();
  try {
    reg::LoadRegText(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg");
  } catch (const reg::RegFileError&) {
    FUZZ_CHECK(SaveBothRoots() == empty);
    return;
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
}

}  // namespace

// The tree is emptied after each input as well as before: what an input allocates is freed
// within its own run, so libFuzzer need not run it a second time to look for a leak.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reg::Reset();
  CheckText(data, size);
  reg::Reset();
  return 0;
}
