// The table of kernel exports: every routine of platform/kernel_routines.h, the run-time
// routines the compiler calls and the kernel exports (memcpy, memset, memmove, memcmp), and the
// names of the kernel's data exports, which an image is refused for importing.
#include "host/ldr/kernel_exports.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "kernel.h"

namespace host::ldr {
namespace {

constexpr std::string_view NTOSKRNL = "ntoskrnl.exe";
constexpr std::string_view HAL = "HAL.dll";

// A routine that returns a LARGE_INTEGER: the i386 kernel returns it in EDX:EAX, the host's
// 32-bit ABI through a hidden pointer. The image calls this in its place (on x64 both return
// it in RAX).
template <typename Signature>
struct LargeResult;
template <typename... Arguments>
struct LargeResult<LARGE_INTEGER(NTAPI*)(Arguments...)> {
  template <LARGE_INTEGER(NTAPI* Routine)(Arguments...)>
  static ULONGLONG NTAPI InRegisters(Arguments... arguments) {
    return Routine(arguments...).QuadPart;
  }
};

// The run-time routines, in the kernel's convention for them (the C library's own on i386).
void* KERNEL_CDECL KernelMemcpy(void* to, const void* from, size_t size) { return memcpy(to, from, size); }
void* KERNEL_CDECL KernelMemset(void* to, int value, size_t size) { return memset(to, value, size); }
void* KERNEL_CDECL KernelMemmove(void* to, const void* from, size_t size) { return memmove(to, from, size); }
int KERNEL_CDECL KernelMemcmp(const void* a, const void* b, size_t size) { return memcmp(a, b, size); }

#define KERNEL_ROUTINE(module, name, type) \
  KernelExport{module, #name, reinterpret_cast<const void*>(static_cast<type>(&name))},
#define KERNEL_ROUTINE_LARGE_RESULT(module, name, type) \
  KernelExport{module, #name,                           \
               reinterpret_cast<const void*>(&LargeResult<type>::template InRegisters<&name>)},
// Each image host exports what its kernel exports, and no routine of the other kernel.
#if defined(__i386__)
#define KERNEL_ROUTINE_I386 KERNEL_ROUTINE
#define KERNEL_ROUTINE_X64(module, name, type)
#else
#define KERNEL_ROUTINE_I386(module, name, type)
#define KERNEL_ROUTINE_X64 KERNEL_ROUTINE
#endif

const std::vector<KernelExport>& Exports() {
  static const auto* exports = [] {
    auto* table = new std::vector<KernelExport>{
#include "kernel_routines.h"
        KernelExport{NTOSKRNL, "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
        KernelExport{NTOSKRNL, "memset", reinterpret_cast<const void*>(&KernelMemset)},
        KernelExport{NTOSKRNL, "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
        KernelExport{NTOSKRNL, "memcmp", reinterpret_cast<const void*>(&KernelMemcmp)},
    };
    std::sort(table->begin(), table->end(), [](const KernelExport& a, const KernelExport& b) {
      return a.module != b.module ? a.module < b.module : a.name < b.name;
    });
    return table;
  }();
  return *exports;
}

#undef KERNEL_ROUTINE_X64
#undef KERNEL_ROUTINE_I386
#undef KERNEL_ROUTINE_LARGE_RESULT
#undef KERNEL_ROUTINE

bool SameModule(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool IsKernelModule(std::string_view module) {
  return SameModule(module, NTOSKRNL) || SameModule(module, HAL);
}

const KernelExport* FindKernelExport(std::string_view module, std::string_view name) {
  for (const KernelExport& entry : Exports()) {
    if (SameModule(entry.module, module) && entry.name == name) return &entry;
  }
  return nullptr;
}

const KernelExport* FindKernelExportByOrdinal(std::string_view module, uint32_t ordinal) {
  uint32_t next = 1;
  for (const KernelExport& entry : Exports()) {
    if (!SameModule(entry.module, module)) continue;
    if (next++ == ordinal) return &entry;
  }
  return nullptr;
}

bool IsKernelDataExport(std::string_view name) {
  static constexpr std::string_view kData[] = {
      "ExEventObjectType", "ExSemaphoreObjectType", "InitSafeBootMode",  "IoDeviceObjectType",
      "IoDriverObjectType", "IoFileObjectType",     "KdDebuggerEnabled", "KdDebuggerNotPresent",
      "KeNumberProcessors", "KeTickCount",          "MmHighestUserAddress", "MmSystemRangeStart",
      "MmUserProbeAddress", "NlsMbCodePageTag",     "PsInitialSystemProcess", "PsProcessType",
      "PsThreadType",       "SeExports",
  };
  return std::find(std::begin(kData), std::end(kData), name) != std::end(kData);
}

}  // namespace host::ldr
