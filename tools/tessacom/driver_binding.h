// The driver the host runs: compiled into this program, or a kernel image (tessacom.sys) mapped
// by the host's image loader. Programs and suites reach the driver's entry points, its globals
// and the internal routines they drive through a DriverBinding, so that with an image they read
// and call the image's own copies. The entry points are NTAPI; the internal routines are the
// driver's plain C++ ones, called as the image's compiler calls them (DriverRoutine): the
// i386 kernel compiler and the 32-bit host pass their arguments alike, the x64 one in the
// Microsoft x64 convention, which the x64 image host names in the routine's type.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "port/byte_ring.h"
#include "port/configuration.h"
#include "driver/driver_entry.h"
#include "driver/port_devices.h"
#include "link/link_packet.h"
#include "link/link_threads.h"
#include "link/tx_ring.h"

namespace host::ldr {
class Image;
}

namespace tessacom {

// The type of a pointer to the driver's plain routine `Routine` (a pointer type), as the
// driver's own compiler calls it: in the x64 image host, in the Microsoft x64 convention.
template <typename Routine>
struct DriverConvention;
template <typename Result, typename... Arguments>
struct DriverConvention<Result (*)(Arguments...)> {
#if defined(TESSACOM_X64_IMAGE_HOST)
  using Type = Result(__attribute__((ms_abi)) *)(Arguments...);
#else
  using Type = Result (*)(Arguments...);
#endif
};
#if defined(__i386__) || defined(TESSACOM_X64_IMAGE_HOST)
// A routine the driver declares NTAPI carries its convention already.
template <typename Result, typename... Arguments>
struct DriverConvention<Result(NTAPI*)(Arguments...)> {
  using Type = Result(NTAPI*)(Arguments...);
};
#endif
template <typename Routine>
using DriverRoutine = typename DriverConvention<Routine>::Type;

// Every driver symbol a binding holds, in the order of its members, as one of
//   GLOBAL(name)   a global, held by reference;
//   TABLE(name)    a global array (the port table, MAX_PORTS entries), held by its first entry;
//   ROUTINE(name)  a routine, held in the driver's calling convention (DriverRoutine).
// The binding's members, the compiled-in binding and an image's lookup by symbol all come from
// this list: a symbol added here is bound everywhere.
#define TESSACOM_BOUND_SYMBOLS(GLOBAL, TABLE, ROUTINE) \
  ROUTINE(UnloadDriver)                                \
  GLOBAL(MaxPort)                                      \
  GLOBAL(StartPort)                                    \
  GLOBAL(ReceiverCount)                                \
  GLOBAL(Unloading)                                    \
  GLOBAL(SendEvent)                                    \
  GLOBAL(OutboundScratch)                              \
  TABLE(PortTable)                                     \
  GLOBAL(UdpAddressObject)                             \
  ROUTINE(StartLink)                                   \
  ROUTINE(StopLink)                                    \
  ROUTINE(LinkThreadCount)                             \
  ROUTINE(QueueLinkPacket)                             \
  ROUTINE(MarkTxData)                                  \
  ROUTINE(InitializeControlQueues)                     \
  ROUTINE(DiscardControlQueue)                         \
  ROUTINE(PlaceTxBytes)                                \
  ROUTINE(CopyOutOfRing)                               \
  ROUTINE(InitializePortRecord)                        \
  ROUTINE(QuiescePort)                                 \
  ROUTINE(ReadPortConfiguration)

struct DriverBinding {
  // The entry point: an image's is the one its header names, not a symbol.
  PDRIVER_INITIALIZE DriverEntry;
#define TESSACOM_BOUND_GLOBAL(name) decltype((::name)) name;
#define TESSACOM_BOUND_TABLE(name) std::decay_t<decltype(::name)> name;
#define TESSACOM_BOUND_ROUTINE(name) DriverRoutine<decltype(&::name)> name;
  TESSACOM_BOUND_SYMBOLS(TESSACOM_BOUND_GLOBAL, TESSACOM_BOUND_TABLE, TESSACOM_BOUND_ROUTINE)
#undef TESSACOM_BOUND_ROUTINE
#undef TESSACOM_BOUND_TABLE
#undef TESSACOM_BOUND_GLOBAL
  // Where the image is mapped, for the driver object; empty for the compiled-in driver.
  PVOID ImageStart;
  ULONG ImageSize;
};

// The driver compiled into this program. The image hosts, which run kernel images only, have
// none: there it throws std::runtime_error.
const DriverBinding& CompiledInDriver();

// A kernel image loaded for the host to run, bound by its symbols. The image stays mapped while
// the object lives; the driver in it must be unloaded (or never loaded) before it goes.
class DriverImage {
 public:
  // Loads the image at `path`. Throws std::runtime_error naming what is wrong: the loader's
  // refusal, or the symbols the binding needs and the image lacks.
  explicit DriverImage(const std::string& path);
  ~DriverImage();
  const DriverBinding& Binding() const { return *binding_; }
  const host::ldr::Image& Image() const { return *image_; }

 private:
  std::unique_ptr<host::ldr::Image> image_;
  std::unique_ptr<DriverBinding> binding_;
};

}  // namespace tessacom
