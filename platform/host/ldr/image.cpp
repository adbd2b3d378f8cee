// The image loader's entry points and the loaded image: the steps in order, and the lookups a
// loaded image answers.
#include "host/ldr/image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "host/ldr/image_steps.h"

namespace host::ldr {

Image::Image(std::string name, uint8_t* base, uint32_t size, uint32_t entry,
             std::vector<ImageSymbol> symbols)
    : name_(std::move(name)), base_(base), size_(size), entry_(entry), symbols_(std::move(symbols)) {}

Image::~Image() { UnmapImage(base_, size_); }

bool Image::Contains(const void* address) const {
  const auto* at = static_cast<const uint8_t*>(address);
  return at >= base_ && at < base_ + size_;
}

PDRIVER_INITIALIZE Image::Entry() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entry_);
}

void* Image::Find(std::string_view name) const {
  void* found = nullptr;
  for (const ImageSymbol& symbol : symbols_) {
    std::string_view bare = symbol.name;
    bare = bare.substr(0, bare.find('('));
    if (bare != name) continue;
    if (found != nullptr && found != base_ + symbol.rva) return nullptr;
    found = base_ + symbol.rva;
  }
  return found;
}

std::string Image::Describe(const void* address) const {
  if (!Contains(address)) return {};
  const uint32_t rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](uint32_t at, const ImageSymbol& symbol) { return at < symbol.rva; });
  if (after == symbols_.begin()) return {};
  const ImageSymbol& symbol = *std::prev(after);
  // The first of several names at one address.
  auto first = std::find_if(symbols_.begin(), symbols_.end(),
                            [&](const ImageSymbol& s) { return s.rva == symbol.rva; });
  return rva == first->rva ? first->name : first->name + "+" + HexText(rva - first->rva);
}

namespace {

// Maps, relocates, binds and protects the image; its base, or null.
uint8_t* Map(const ImageFile& file, std::string* error) {
  if (sizeof(void*) != 4) {
    *error = "a PE32 image runs in the 32-bit host only (the host-i386 preset)";
    return nullptr;
  }
  uint8_t* base = MapImage(file, error);
  if (base == nullptr) return nullptr;
  if (!ApplyRelocations(base, file, error) || !BindImports(base, file, error) ||
      !ProtectImage(base, file, error)) {
    UnmapImage(base, file.optional.sizeOfImage);
    return nullptr;
  }
  return base;
}

}  // namespace

std::unique_ptr<Image> LoadImage(std::vector<uint8_t> bytes, const std::string& name, std::string* error) {
  ImageFile file;
  file.name = name;
  file.bytes = std::move(bytes);
  uint8_t* base = ReadImageHeaders(file, error) ? Map(file, error) : nullptr;
  if (base == nullptr) {
    *error = name + ": " + *error;
    return nullptr;
  }
  return std::unique_ptr<Image>(new Image(name, base, file.optional.sizeOfImage,
                                          file.optional.addressOfEntryPoint, ReadImageSymbols(file)));
}

std::unique_ptr<Image> LoadImageFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return LoadImage(std::move(bytes), path.substr(path.find_last_of('/') + 1), error);
}

}  // namespace host::ldr
