// Import binding: each import address slot of the image gets the host's routine that stands in
// for the kernel export it names. An image that imports anything the host cannot give (a module
// other than the kernel's, a routine the host lacks, a variable) is refused with every such
// import named, so that one run shows all that is missing.
#include <cstring>

#include "host/ldr/image_steps.h"
#include "host/ldr/kernel_exports.h"

namespace host::ldr {
namespace {

// What one module's imports need: where they are and what went wrong so far.
struct ModuleImports {
  uint8_t* base;
  uint32_t size;
  uint32_t width;  // of a lookup entry and an address slot: the image's address size
  std::string module;
  std::vector<std::string>* refused;
};

bool Fits(const ModuleImports& imports, uint64_t rva) { return rva <= imports.size - imports.width; }

// The zero-terminated string at `rva`, which must end inside the image.
bool StringAt(const uint8_t* base, uint32_t size, uint32_t rva, std::string* text) {
  if (rva >= size) return false;
  const void* end = std::memchr(base + rva, 0, size - rva);
  if (end == nullptr) return false;
  text->assign(reinterpret_cast<const char*>(base + rva), static_cast<const uint8_t*>(end) - (base + rva));
  return true;
}

// Resolves one lookup entry to the host's routine, or to null after recording why it cannot be
// had. False when the entry itself is malformed.
bool Resolve(const ModuleImports& imports, uint64_t entry, const void** address, std::string* error) {
  std::string name;
  const KernelExport* found = nullptr;
  const uint64_t byOrdinal = imports.width == 8 ? pe::kImportByOrdinal64 : pe::kImportByOrdinal;
  if (entry & byOrdinal) {
    name = "ordinal " + std::to_string(entry & 0xFFFF);
    found = FindKernelExportByOrdinal(imports.module, entry & 0xFFFF);
  } else if (entry < imports.size &&  // the hint/name entry: a 16-bit hint, then the name
             StringAt(imports.base, imports.size, static_cast<uint32_t>(entry + 2), &name)) {
    found = FindKernelExport(imports.module, name);
  } else {
    *error = "the name of an import from " + imports.module + " lies outside the image";
    return false;
  }
  *address = found != nullptr ? found->address : nullptr;
  if (found != nullptr) return true;
  std::string why = !IsKernelModule(imports.module) ? "the host stands in for ntoskrnl.exe and HAL.dll only"
                    : IsKernelDataExport(name)      ? "a data import: the host exports routines only"
                                                    : "the host has no such routine";
  imports.refused->push_back(imports.module + "!" + name + " (" + why + ")");
  return true;
}

bool BindModule(const ModuleImports& imports, const pe::ImportDescriptor& descriptor,
                std::string* error) {
  const uint32_t lookup = descriptor.lookupTableRva != 0 ? descriptor.lookupTableRva
                                                         : descriptor.addressTableRva;
  for (uint64_t i = 0;; i++) {
    const uint64_t at = lookup + imports.width * i;
    const uint64_t slot = descriptor.addressTableRva + imports.width * i;
    if (!Fits(imports, at) || !Fits(imports, slot)) {
      *error = "the import table of " + imports.module + " runs past the image";
      return false;
    }
    uint64_t entry = 0;
    std::memcpy(&entry, imports.base + at, imports.width);
    if (entry == 0) return true;
    const void* address = nullptr;
    if (!Resolve(imports, entry, &address, error)) return false;
    const uint64_t value = reinterpret_cast<uintptr_t>(address);
    std::memcpy(imports.base + slot, &value, imports.width);
  }
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}

}  // namespace

bool BindImports(uint8_t* base, const ImageFile& file, std::string* error) {
  const pe::DataDirectory directory = file.optional.dataDirectory[pe::kDirectoryImport];
  const uint32_t size = file.optional.sizeOfImage;
  std::vector<std::string> refused;
  for (uint32_t at = directory.virtualAddress; directory.size != 0; at += sizeof(pe::ImportDescriptor)) {
    pe::ImportDescriptor descriptor{};
    if (at > size - sizeof descriptor) {
      *error = "the import directory runs past the image";
      return false;
    }
    std::memcpy(&descriptor, base + at, sizeof descriptor);
    if (descriptor.nameRva == 0 && descriptor.addressTableRva == 0) break;
    ModuleImports imports{base, size, AddressSize(file), {}, &refused};
    if (!StringAt(base, size, descriptor.nameRva, &imports.module)) {
      *error = "the name of an imported module lies outside the image";
      return false;
    }
    if (!BindModule(imports, descriptor, error)) return false;
  }
  if (refused.empty()) return true;
  *error = std::to_string(refused.size()) + " import(s) the host cannot bind: " + Joined(refused);
  return false;
}

}  // namespace host::ldr
