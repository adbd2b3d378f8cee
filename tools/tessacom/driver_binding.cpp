// Binding a kernel image by the symbols of its COFF symbol table.
#include "driver_binding.h"

#include <stdexcept>
#include <type_traits>

#include "host/ldr/image.h"

namespace tessacom {
namespace {

// Every symbol the binding takes from an image.
constexpr const char* kBoundSymbols[] = {
    "UnloadDriver", "MaxPort", "StartPort", "ReceiverCount", "Unloading", "SendEvent",
    "OutboundScratch", "PortTable", "UdpAddressObject", "StartLink", "StopLink",
    "LinkThreadCount", "QueueLinkPacket", "MarkTxData", "InitializeControlQueues", "DiscardControlQueue",
    "PlaceTxBytes", "CopyOutOfRing", "InitializePortRecord", "QuiescePort",
    "ReadPortConfiguration"};

void RequireSymbols(const host::ldr::Image& image) {
  std::string missing;
  for (const char* name : kBoundSymbols) {
    if (image.Find(name) == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (!missing.empty()) {
    throw std::runtime_error(image.Name() + " lacks the symbols " + missing + " (was it stripped?)");
  }
}

#define BIND_GLOBAL(name) \
  *static_cast<std::remove_reference_t<decltype(DriverBinding::name)>*>(image.Find(#name))
// An internal routine, bound with the driver's calling convention in its type: a member of
// the binding declared otherwise does not compile.
template <typename Bound, typename Declared>
Bound BindRoutine(const host::ldr::Image& image, const char* name) {
  static_assert(std::is_same_v<Bound, DriverRoutine<Declared>>,
                "the binding declares an internal routine without its calling convention");
  return reinterpret_cast<Bound>(image.Find(name));
}

#define BIND_ROUTINE(name) BindRoutine<decltype(DriverBinding::name), decltype(&::name)>(image, #name)

std::unique_ptr<DriverBinding> BindImage(const host::ldr::Image& image) {
  RequireSymbols(image);
  return std::unique_ptr<DriverBinding>(new DriverBinding{
      image.Entry(), BIND_ROUTINE(UnloadDriver), BIND_GLOBAL(MaxPort), BIND_GLOBAL(StartPort),
      BIND_GLOBAL(ReceiverCount), BIND_GLOBAL(Unloading), BIND_GLOBAL(SendEvent),
      BIND_GLOBAL(OutboundScratch), static_cast<PortTableEntry*>(image.Find("PortTable")),
      BIND_GLOBAL(UdpAddressObject),
      BIND_ROUTINE(StartLink), BIND_ROUTINE(StopLink), BIND_ROUTINE(LinkThreadCount),
      BIND_ROUTINE(QueueLinkPacket), BIND_ROUTINE(MarkTxData),
      BIND_ROUTINE(InitializeControlQueues),
      BIND_ROUTINE(DiscardControlQueue), BIND_ROUTINE(PlaceTxBytes), BIND_ROUTINE(CopyOutOfRing),
      BIND_ROUTINE(InitializePortRecord), BIND_ROUTINE(QuiescePort),
      BIND_ROUTINE(ReadPortConfiguration), image.Base(), image.Size()});
}

#undef BIND_ROUTINE
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
