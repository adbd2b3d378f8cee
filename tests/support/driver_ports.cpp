#include "support/driver_ports.h"

namespace testsupport {

// The deferred routine bound to every call of these records: does nothing.
static VOID NTAPI IgnoredDpc(PKDPC, PVOID, PVOID, PVOID) {}

static const PortDeferredRoutines kIgnoredRoutines = {IgnoredDpc, IgnoredDpc, IgnoredDpc, IgnoredDpc, IgnoredDpc,
                                                      IgnoredDpc, IgnoredDpc, IgnoredDpc, IgnoredDpc};

DriverPorts::DriverPorts(int count, LONG startPort, const tessacom::DriverBinding& driver)
    : driver_(driver) {
  driver_.StartPort = startPort;
  driver_.MaxPort = count;
  KeInitializeEvent(&driver_.SendEvent, SynchronizationEvent, FALSE);
  driver_.InitializeControlQueues();
  for (int i = 0; i < count; i++) {
    auto* record = static_cast<PortRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PortRecord), POOL_TAG));
    RtlZeroMemory(record, sizeof(PortRecord));  // the platform zero-fills device extensions
    driver_.InitializePortRecord(record, i, &kIgnoredRoutines);
    records_.push_back(record);
  }
}

void DriverPorts::AttachLinkBuffers() {
  txStorage_.assign(records_.size() * TX_RING_SIZE, 0);
  rxStorage_.assign(records_.size() * RX_RING_SIZE, 0);
  driver_.OutboundScratch =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, OUTBOUND_SCRATCH_SIZE, POOL_TAG));
  for (size_t i = 0; i < records_.size(); i++) {
    driver_.PortTable[i].TxRing.Buffer = txStorage_.data() + i * TX_RING_SIZE;
    driver_.PortTable[i].RxRing.Buffer = rxStorage_.data() + i * RX_RING_SIZE;
  }
}

DriverPorts::~DriverPorts() {
  if (driver_.OutboundScratch != nullptr) ExFreePool(driver_.OutboundScratch);
  driver_.OutboundScratch = nullptr;
  // As unload does: nothing queued is left, and a call still running (a live executive's
  // worker may be inside one) returns before its record goes.
  for (PortRecord* record : records_) driver_.QuiescePort(record);
  KeFlushQueuedDpcs();
  for (size_t i = 0; i < records_.size(); i++) {
    DrainControlQueue(static_cast<int>(i));
    driver_.PortTable[i] = {};
    ExFreePool(records_[i]);
  }
  driver_.MaxPort = 0;
}

}  // namespace testsupport
