// The verifier's stop and the naming of code and data addresses in its messages.
#include "host/verifier/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/verifier/describe.h"

namespace host::verifier {

namespace {

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Demangled(const char* name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result = plain;
  std::free(plain);
  return result;
}

std::vector<CodeDescriber>& CodeDescribers() {
  static auto* describers = new std::vector<CodeDescriber>;
  return *describers;
}

// The routine a registered code describer names for an address, and the offset into it.
bool DescribedRoutine(const void* address, std::string* routine, uintptr_t* offset) {
  for (CodeDescriber describer : CodeDescribers()) {
    if (describer(address, routine, offset)) return true;
  }
  return false;
}

// Symbol+offset of an address through a code describer or the dynamic symbol table, or empty.
std::string SymbolOf(const void* address) {
  std::string routine;
  uintptr_t offset = 0;
  if (DescribedRoutine(address, &routine, &offset)) {
    return offset == 0 ? routine : routine + "+" + Hex(offset);
  }
  Dl_info info{};
  if (dladdr(address, &info) == 0) return {};
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    std::string name = Demangled(info.dli_sname);
    const uintptr_t offset = at - reinterpret_cast<uintptr_t>(info.dli_saddr);
    return offset == 0 ? name : name + "+" + Hex(offset);
  }
  if (info.dli_fname != nullptr && info.dli_fbase != nullptr) {
    const char* slash = std::strrchr(info.dli_fname, '/');
    const char* module = slash != nullptr ? slash + 1 : info.dli_fname;
    return std::string(module) + "+" + Hex(at - reinterpret_cast<uintptr_t>(info.dli_fbase));
  }
  return {};
}

std::vector<DataDescriber>& DataDescribers() {
  static auto* describers = new std::vector<DataDescriber>;
  return *describers;
}

}  // namespace

bool RegisterDataDescriber(DataDescriber describer) {
  DataDescribers().push_back(describer);
  return true;
}

bool RegisterCodeDescriber(CodeDescriber describer) {
  CodeDescribers().push_back(describer);
  return true;
}

std::string RoutineOf(const void* address) {
  std::string routine;
  uintptr_t offset = 0;
  if (address != nullptr && DescribedRoutine(address, &routine, &offset)) return routine;
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return "unknown code";
  if (info.dli_sname != nullptr) return Demangled(info.dli_sname);
  if (info.dli_fname != nullptr) {
    const char* slash = std::strrchr(info.dli_fname, '/');
    return slash != nullptr ? slash + 1 : info.dli_fname;
  }
  return "unknown code";
}

std::string DescribeCode(const void* address) {
  if (address == nullptr) return "null";
  std::string name = SymbolOf(address);
  return name.empty() ? Hex(reinterpret_cast<uintptr_t>(address)) : name;
}

std::string CalledFrom(const void* returnAddress) {
  if (returnAddress == nullptr) return {};
  return " (called from " + DescribeCode(returnAddress) + ")";
}

std::string DescribeData(const void* address) {
  if (address == nullptr) return "null";
  for (DataDescriber describer : DataDescribers()) {
    std::string description = describer(address);
    if (!description.empty()) return description;
  }
  std::string name = SymbolOf(address);
  // Only a named global is worth more than the address itself.
  Dl_info info{};
  if (!name.empty() && dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
    return name + " at " + Hex(reinterpret_cast<uintptr_t>(address));
  }
  return Hex(reinterpret_cast<uintptr_t>(address));
}

void Stop(const char* violation, const char* routine, const char* format, ...) {
  char details[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(details, sizeof details, format, args);
  va_end(args);
  std::fprintf(stderr, "*** HOST VERIFIER STOP: %s in %s: %s\n", violation, routine, details);
  std::fflush(stderr);
  std::abort();
}

}  // namespace host::verifier
