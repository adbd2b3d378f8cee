// I/O request packets: allocation (IoAllocateIrp, IoBuildDeviceIoControlRequest), release
// (IoFreeIrp) and delivery to a driver (IofCallDriver), with the registry of live requests the
// verifier consults. A request is one block: the IRP, then its stack locations. Released
// blocks are kept aside (not reused) for a while, so that a second completion of a request
// is reported by the verifier instead of touching freed memory.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "host/ex/pool_control.h"
#include "host/io/io_manager.h"
#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "host/ke/processor_region.h"
#include "host/verifier/failure_countdown.h"
#include "kernel.h"

namespace host::io {
namespace detail {
namespace {

constexpr CSHORT kIrpType = 6;
constexpr size_t kKeptAside = 256;  // released requests kept before their memory is reused

enum class IrpState { Live, Completed };
struct Released {
  PIRP irp;
  bool completed;  // it had been completed before it was released
};

std::mutex irpLock;
std::unordered_map<PIRP, IrpState>& LiveIrps() {
  static std::unordered_map<PIRP, IrpState> live;
  return live;
}
// Never destroyed: the blocks it holds stay reachable until the process ends.
std::deque<Released>& ReleasedIrps() {
  static auto* released = new std::deque<Released>;
  return *released;
}

verifier::FailureCountdown irpFailures;

const Released* FindReleasedLocked(PIRP irp) {
  for (const auto& entry : ReleasedIrps()) {
    if (entry.irp == irp) return &entry;
  }
  return nullptr;
}

[[noreturn]] void StopNotLive(PIRP irp, const char* routine, bool completing) {
  const Released* released = FindReleasedLocked(irp);
  if (completing && (released == nullptr || released->completed)) {
    verifier::Stop("IRP_COMPLETED_TWICE", routine,
                   "request %p was already completed and handed back to its originator",
                   static_cast<void*>(irp));
  }
  verifier::Stop(released != nullptr ? "IRP_ALREADY_FREED" : "IRP_NOT_ALLOCATED", routine,
                 "request %p is not a live request", static_cast<void*>(irp));
}

}  // namespace

PIRP NewIrp(CCHAR stackSize, Origin origin) {
  if (stackSize < 1) return nullptr;
  if (origin != Origin::Client && irpFailures.Fails()) return nullptr;
  const size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(std::calloc(1, bytes));
  irp->Type = kIrpType;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
  auto* record = new RequestRecord;
  record->origin = origin;
  irp->HostRequest = record;
  std::lock_guard lock(irpLock);
  LiveIrps()[irp] = IrpState::Live;
  return irp;
}

void ReleaseIrp(PIRP irp) {
  RequestRecord* record = RecordOf(irp);
  std::free(record->systemBuffer);
  delete record;
  std::lock_guard lock(irpLock);
  auto it = LiveIrps().find(irp);
  bool completed = it != LiveIrps().end() && it->second == IrpState::Completed;
  LiveIrps().erase(irp);
  std::memset(irp, 0xDD, irp->Size);  // a late user sees garbage, not a plausible request
  ReleasedIrps().push_back({irp, completed});
  if (ReleasedIrps().size() > kKeptAside) {
    std::free(ReleasedIrps().front().irp);
    ReleasedIrps().pop_front();
  }
}

void RequireLiveIrp(PIRP irp, const char* routine) {
  std::lock_guard lock(irpLock);
  if (LiveIrps().count(irp) == 0) StopNotLive(irp, routine, false);
}

void MarkCompleting(PIRP irp) {
  std::lock_guard lock(irpLock);
  auto it = LiveIrps().find(irp);
  if (it == LiveIrps().end()) StopNotLive(irp, "IofCompleteRequest", true);
  if (it->second == IrpState::Completed) {
    verifier::Stop("IRP_COMPLETED_TWICE", "IofCompleteRequest",
                   "request %p was already completed", static_cast<void*>(irp));
  }
  it->second = IrpState::Completed;
}

void MarkReturnedToOwner(PIRP irp) {
  std::lock_guard lock(irpLock);
  auto it = LiveIrps().find(irp);
  if (it != LiveIrps().end()) it->second = IrpState::Live;  // its completion routine may have freed it
}

void* NewSystemBuffer(size_t bytes) {
  void* buffer = std::malloc(bytes == 0 ? 1 : bytes);
  std::memset(buffer, ex::kFillPattern, bytes);
  return buffer;
}

bool SetUpControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength) {
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  RequestRecord* record = RecordOf(irp);
  switch (code & 3) {
    case METHOD_BUFFERED: {
      ULONG size = inputLength > outputLength ? inputLength : outputLength;
      if (size != 0) {
        record->systemBuffer = NewSystemBuffer(size);
        if (input != nullptr) std::memcpy(record->systemBuffer, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
      }
      record->copyOutTo = output;
      record->copyOutLimit = output != nullptr ? outputLength : 0;
      irp->UserBuffer = output;
      return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inputLength != 0 && input != nullptr) {
        record->systemBuffer = NewSystemBuffer(inputLength);
        std::memcpy(record->systemBuffer, input, inputLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
      }
      if (outputLength != 0 && output != nullptr) {
        PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
        if (mdl == nullptr) return false;
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
      }
      return true;
    default:  // METHOD_NEITHER
      stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
      irp->UserBuffer = output;
      return true;
  }
}

}  // namespace detail

void FailNthIrpAllocation(size_t nth) { detail::irpFailures.Arm(nth); }

CCHAR CompletionBoost(PIRP irp) {
  detail::RequireLiveIrp(irp, "host::io::CompletionBoost");
  return detail::RecordOf(irp)->boost;
}

size_t OutstandingIrps() {
  std::lock_guard lock(detail::irpLock);
  return detail::LiveIrps().size();
}

}  // namespace host::io

using host::io::detail::Origin;

extern "C" {

// A request with StackSize locations for its caller to fill and release with IoFreeIrp.
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  return host::io::detail::NewIrp(StackSize, Origin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  host::io::detail::RequireLiveIrp(Irp, "IoFreeIrp");
  host::io::detail::ReleaseIrp(Irp);
}

// A device-control request for the device with its next stack location filled; released by
// the I/O manager (with its MDLs) when it completes, after its status block and event are set.
// Buffers by the code's transfer method: METHOD_BUFFERED copies the input into a system buffer
// of the larger length and the output back; the direct methods lock the output buffer in an
// MDL; METHOD_NEITHER passes the caller's pointers.
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = host::io::detail::NewIrp(DeviceObject->StackSize, Origin::BuiltControl);
  if (irp == nullptr) return nullptr;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  if (!host::io::detail::SetUpControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength,
                                             OutputBuffer, OutputBufferLength)) {
    host::io::detail::ReleaseIrp(irp);
    return nullptr;
  }
  return irp;
}

// Moves the request to its next stack location and hands it to the device's driver, on the
// caller's thread and at the caller's level.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IofCallDriver");
  host::io::detail::RequireLiveIrp(Irp, "IofCallDriver");
  if (!host::io::detail::IsLiveDevice(DeviceObject)) {
    host::verifier::Stop("INVALID_DEVICE_OBJECT", "IofCallDriver",
                         "%p is not a live device object", static_cast<void*>(DeviceObject));
  }
  if (--Irp->CurrentLocation <= 0) {
    host::verifier::Stop("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver",
                         "request %p has no stack location left for device %p",
                         static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
  }
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    host::verifier::Stop("INVALID_MAJOR_FUNCTION", "IofCallDriver",
                         "request %p carries major function %u", static_cast<void*>(Irp),
                         stack->MajorFunction);
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  host::ke::detail::EnterProcessorRegion();
  return dispatch(DeviceObject, Irp);
}

}  // extern "C"
