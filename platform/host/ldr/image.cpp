// The image loader's entry points and the loaded image: the steps in order, and the lookups a
// loaded image answers.
#include "host/ldr/image.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>

#include "host/ldr/image_steps.h"
#include "host/ldr/shared_user_page.h"
#include "host/verifier/describe.h"

namespace host::ldr {

namespace {

// The images mapped now, for the verifier's describers, which any thread may call.
std::mutex imagesLock;
std::vector<const Image*> images;

// The mapped image holding `address`, or null; imagesLock held.
const Image* ImageHolding(const void* address) {
  for (const Image* image : images) {
    if (image->Contains(address)) return image;
  }
  return nullptr;
}

bool DescribeImageCode(const void* address, std::string* routine, uintptr_t* offset) {
  std::lock_guard lock(imagesLock);
  const Image* image = ImageHolding(address);
  uint32_t distance = 0;
  const ImageSymbol* symbol = image != nullptr ? image->SymbolAt(address, &distance) : nullptr;
  if (symbol == nullptr) return false;
  *routine = symbol->name;
  *offset = distance;
  return true;
}

// A global of an image, as the verifier names globals: "PortTable+0x10 at 0x...".
std::string DescribeImageData(const void* address) {
  std::lock_guard lock(imagesLock);
  const Image* image = ImageHolding(address);
  uint32_t offset = 0;
  const ImageSymbol* symbol = image != nullptr ? image->SymbolAt(address, &offset) : nullptr;
  if (symbol == nullptr || symbol->code) return {};
  return image->Describe(address) + " at " + HexText(reinterpret_cast<uintptr_t>(address));
}

const bool kImagesDescribed = verifier::RegisterCodeDescriber(&DescribeImageCode) &&
                              verifier::RegisterDataDescriber(&DescribeImageData);

}  // namespace

Image::Image(std::string name, uint8_t* base, uint32_t size, uint32_t entry,
             std::vector<ImageSymbol> symbols)
    : name_(std::move(name)), base_(base), size_(size), entry_(entry), symbols_(std::move(symbols)) {
  std::lock_guard lock(imagesLock);
  images.push_back(this);
}

Image::~Image() {
  {
    std::lock_guard lock(imagesLock);
    images.erase(std::find(images.begin(), images.end(), this));
  }
  UnmapImage(base_, size_);
}

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

const ImageSymbol* Image::SymbolAt(const void* address, uint32_t* offset) const {
  if (!Contains(address)) return nullptr;
  const uint32_t rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                [](uint32_t at, const ImageSymbol& symbol) { return at < symbol.rva; });
  if (after == symbols_.begin()) return nullptr;
  const uint32_t start = std::prev(after)->rva;
  auto first = std::find_if(symbols_.begin(), symbols_.end(),
                            [&](const ImageSymbol& symbol) { return symbol.rva == start; });
  *offset = rva - start;
  return &*first;
}

std::string Image::Describe(const void* address) const {
  uint32_t offset = 0;
  const ImageSymbol* symbol = SymbolAt(address, &offset);
  if (symbol == nullptr) return {};
  return offset == 0 ? symbol->name : symbol->name + "+" + HexText(offset);
}

namespace {

// Maps, relocates, binds and protects the image; its base, or null.
uint8_t* Map(const ImageFile& file, std::string* error) {
  uint8_t* base = MapImage(file, error);
  if (base == nullptr) return nullptr;
  AnswerSharedUserPageReads();
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
