// The compiled-in driver, bound by its symbols at link time. The image hosts' builds link no
// driver into their programs and suites, so that whatever reaches past the binding to a driver
// global fails to link there instead of silently reading the compiled-in copy.
#include <stdexcept>

#include "driver_binding.h"

namespace tessacom {

#if defined(TESSACOM_IMAGE_HOST)

const DriverBinding& CompiledInDriver() {
  throw std::runtime_error("this host runs kernel images only: name one with --image FILE");
}

#else

const DriverBinding& CompiledInDriver() {
  static const DriverBinding compiledIn{
      DriverEntry, UnloadDriver, MaxPort, StartPort, ReceiverCount, Unloading, SendEvent,
      OutboundScratch, PortTable, UdpAddressObject, StartLink, StopLink, LinkThreadCount,
      QueueLinkPacket, MarkTxData, InitializeControlQueues, DiscardControlQueue, PlaceTxBytes, CopyOutOfRing,
      InitializePortRecord, QuiescePort, ReadPortConfiguration, nullptr, 0};
  return compiledIn;
}

#endif

}  // namespace tessacom
