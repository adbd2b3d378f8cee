// Binding a kernel image by the symbols of its COFF symbol table.
#include "driver_binding.h"

#include <stdexcept>
#include <type_traits>

#include "host/ldr/image.h"

namespace tessacom {
namespace {

#define SYMBOL_NAME(name) #name,
// Every symbol the binding takes from an image.
constexpr const char* kBoundSymbols[] = {TESSACOM_BOUND_SYMBOLS(SYMBOL_NAME, SYMBOL_NAME, SYMBOL_NAME)};
#undef SYMBOL_NAME

void RequireSymbols(const host::ldr::Image& image) {
  std::string missing;
  for (const char* name : kBoundSymbols) {
    if (image.Find(name) == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (!missing.empty()) {
    throw std::runtime_error(image.Name() + " lacks the symbols " + missing + " (was it stripped?)");
  }
}

// Each symbol cast to its member's type; a routine's carries the driver's calling convention.
#define BIND_GLOBAL(name) \
  *static_cast<std::remove_reference_t<decltype(DriverBinding::name)>*>(image.Find(#name)),
#define BIND_TABLE(name) static_cast<decltype(DriverBinding::name)>(image.Find(#name)),
#define BIND_ROUTINE(name) reinterpret_cast<decltype(DriverBinding::name)>(image.Find(#name)),

std::unique_ptr<DriverBinding> BindImage(const host::ldr::Image& image) {
  RequireSymbols(image);
  return std::unique_ptr<DriverBinding>(new DriverBinding{
      image.Entry(), TESSACOM_BOUND_SYMBOLS(BIND_GLOBAL, BIND_TABLE, BIND_ROUTINE) image.Base(),
      image.Size()});
}

#undef BIND_ROUTINE
#undef BIND_TABLE
#undef BIND_GLOBAL

}  // namespace

DriverImage::DriverImage(const std::string& path) {
  std::string error;
  image_ = host::ldr::LoadImageFile(path, &error);
  if (image_ == nullptr) throw std::runtime_error(error);
  binding_ = BindImage(*image_);
}

DriverImage::~DriverImage() = default;

}  // namespace tessacom
