// The host's routines as the kernel exports them to a driver image: by module ("ntoskrnl.exe",
// "HAL.dll"), name and ordinal. Ordinals are the host's own: 1 + the routine's place in its
// module's table sorted by name, as a linker numbers exports without explicit ordinals.
// Private to the image loader.
#pragma once

#include <cstdint>
#include <string_view>

namespace host::ldr {

struct KernelExport {
  std::string_view module;
  std::string_view name;
  const void* address;  // entry point with the kernel's calling convention
};

// The export of `module` (matched without regard to case) named `name`, or null.
const KernelExport* FindKernelExport(std::string_view module, std::string_view name);
const KernelExport* FindKernelExportByOrdinal(std::string_view module, uint32_t ordinal);
// True for a module the host stands in for.
bool IsKernelModule(std::string_view module);
// True for a variable the kernel exports (an object type, the tick count ...): the host
// exports routines only.
bool IsKernelDataExport(std::string_view name);

}  // namespace host::ldr
