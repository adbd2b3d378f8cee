// The verifier's stops: each check of the executive and of the I/O manager (requests completed
// twice or with a cancel routine still set, the pending protocol of dispatch routines, devices
// deleted under live timers and deferred calls, drivers that leave devices or links behind at
// unload) stops the host with a message naming the violation and the kernel routine, and where
// it can, the driver routine that called; a driver routine entered against its declared IRQL or
// lock contract stops in its own name. Every case provokes its stop entirely inside the
// child, so the parent has nothing to undo.
#include <gtest/gtest.h>

#include <thread>

#include "host/io/client.h"
#include "host/io/io_manager.h"
#include "host/ke/waiter_count.h"
#include "host/session/driver_loader.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "serial/serial_requests.h"
#include "support/executive_session.h"
#include "support/tiny_driver.h"

constexpr ULONG kDriverTag = 0x206B6444;  // "Ddk "

// Exported, so that the verifier can name it as the calling driver routine.
extern "C" void VerifierTestTakesLockTwice(PKSPIN_LOCK lock) {
  KIRQL first, second;
  KeAcquireSpinLock(lock, &first);
  KeAcquireSpinLock(lock, &second);
}

namespace {

using testsupport::Complete;
using testsupport::Counted;
using testsupport::kSecond;
using testsupport::TinyDriver;

// Takes a spin lock, or the cancel spin lock for a null one; returns the previous IRQL.
KIRQL Take(PKSPIN_LOCK lock) {
  KIRQL old;
  if (lock == nullptr) IoAcquireCancelSpinLock(&old);
  if (lock != nullptr) KeAcquireSpinLock(lock, &old);
  return old;
}

void Release(PKSPIN_LOCK lock, KIRQL old) {
  if (lock == nullptr) IoReleaseCancelSpinLock(old);
  if (lock != nullptr) KfReleaseSpinLock(lock, old);
}

void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  const KIRQL a = Take(first);
  Release(second, Take(second));
  Release(first, a);
}

// A new block of the driver's pool.
void* Block(SIZE_T bytes = 40, POOL_TYPE type = NonPagedPool) { return ExAllocatePoolWithTag(type, bytes, kDriverTag); }
PKTIMER PoolTimer() { return static_cast<PKTIMER>(Block(sizeof(KTIMER))); }

void ArmFor(PKTIMER timer, int64_t seconds) { KeSetTimer(timer, LARGE_INTEGER{.QuadPart = -seconds * kSecond}, nullptr); }

// An event that lives as long as the process, initialised with the given state.
PKEVENT Event(BOOLEAN signalled) {
  static KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, signalled);
  return &event;
}

VOID NTAPI BlockForever(PVOID context) { KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr); }
VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

void Queue(PKDPC dpc) {
  KeInitializeDpc(dpc, Nothing, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
}

// A tiny driver with device \Device\v whose read the handler serves; the read, once the
// handler returned, is cancelled.
void ReadThenCancel(testsupport::Handler handler) {
  TinyDriver driver;
  driver.AddDevice(u"\\Device\\v");
  driver.On(IRP_MJ_READ, std::move(handler));
  auto opened = host::io::Open("\\Device\\v");
  char buffer[4];
  opened.file.ReadAsync(buffer, sizeof(buffer)).Cancel();
}

// A read left pending with the given cancel routine, then cancelled.
void CancelReadWaitingWith(PDRIVER_CANCEL cancel) {
  ReadThenCancel([cancel](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    return STATUS_PENDING;
  });
}

// An MDL describing a new 64-byte block of the given pool.
PMDL MdlOfPool(POOL_TYPE type) {
  return IoAllocateMdl(Block(64, type), 64, FALSE, FALSE, nullptr);
}

struct Extension {
  KTIMER timer;
  KDPC dpc;
};

// Deletes a device whose extension holds an armed timer, or else a queued deferred call.
void DeleteDeviceHolding(bool timer) {
  TinyDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v", sizeof(Extension));
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  KeInitializeTimer(&extension->timer);
  if (timer) ArmFor(&extension->timer, 1);
  if (!timer) Queue(&extension->dpc);
  IoDeleteDevice(device);
}

NTSTATUS NTAPI EntryWithDeviceAndLink(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  std::u16string name = u"\\Device\\kept";
  std::u16string link = u"\\DosDevices\\COM9";
  UNICODE_STRING deviceName = Counted(name), linkName = Counted(link);
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  return IoCreateSymbolicLink(&linkName, &deviceName);
}

void LoadAndUnloadWith(PDRIVER_UNLOAD unload) {
  host::session::LoadDriver(EntryWithDeviceAndLink);
  host::session::LoadedDriver()->DriverUnload = unload;
  host::session::UnloadDriver();
}

struct Stop {
  const char* name;
  void (*provoke)();
  const char* pattern;
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

const Stop kStops[] = {
    {"SpinLockTakenTwice", [] { KSPIN_LOCK lock = 0; VerifierTestTakesLockTwice(&lock); },
     "SPIN_LOCK_ALREADY_OWNED in KfAcquireSpinLock: .*called from VerifierTestTakesLockTwice"},
    {"SpinLockReleasedByANonOwner", [] { KSPIN_LOCK lock = 0; KfReleaseSpinLock(&lock, PASSIVE_LEVEL); },
     "SPIN_LOCK_NOT_OWNED in KfReleaseSpinLock: .*not held"},
    {"SpinLockNeverInitialised", [] { Take(static_cast<PKSPIN_LOCK>(Block(8))); },
     "SPIN_LOCK_NOT_INITIALIZED in KfAcquireSpinLock: offset 0x0 in pool block"},
    {"LockOrderCycleWithTheCancelLock", [] { KSPIN_LOCK port = 0; TakeInOrder(&port, nullptr); TakeInOrder(nullptr, &port); },
     "LOCK_ORDER_CYCLE in KfAcquireSpinLock: taking .* while holding the cancel spin lock"},
    {"LockOrderCycleThroughAThirdLock",
     [] { KSPIN_LOCK a = 0, b = 0, c = 0; TakeInOrder(&a, &b); TakeInOrder(&b, &c); TakeInOrder(&c, &a); },
     "LOCK_ORDER_CYCLE in KfAcquireSpinLock: .* -> .* -> "},
    {"LoweringToAHigherLevel", [] { KeLowerIrql(DISPATCH_LEVEL); }, "IRQL_NOT_LESS_OR_EQUAL in KfLowerIrql"},
    {"LeavingDispatchLevelWhileHoldingASpinLock",
     [] { KSPIN_LOCK first = 0, second = 0; const KIRQL old = Take(&first); Take(&second); KfReleaseSpinLock(&first, old); },
     "SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL in KfReleaseSpinLock"},
    {"WaitWithoutTimeOutAtDispatchLevel",
     [] { KfRaiseIrql(DISPATCH_LEVEL); KeWaitForSingleObject(Event(FALSE), Executive, KernelMode, FALSE, nullptr); },
     "WAIT_AT_DISPATCH_LEVEL in KeWaitForSingleObject: a wait without time-out"},
    // KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL until the wait that must follow: the
    // first is (and the wait restores the level); the second is followed by another call.
    {"SetEventWithWaitNotFollowedByAWait",
     [] {
       PKEVENT first = Event(FALSE);
       KeSetEvent(first, 0, TRUE);
       if (KeGetCurrentIrql() != DISPATCH_LEVEL) return;
       KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
       if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
       KeSetEvent(first, 0, TRUE);
       KeSetEvent(first, 0, FALSE);
     },
     "SET_EVENT_WAIT_NOT_FOLLOWED in KeSetEvent: called while a wait is owed"},
    {"AlertableWait", [] { KeWaitForSingleObject(Event(TRUE), Executive, KernelMode, TRUE, nullptr); },
     "ALERTABLE_WAIT_NOT_MODELLED in KeWaitForSingleObject"},
    {"PagedAllocationAtDispatchLevel", [] { KfRaiseIrql(DISPATCH_LEVEL); Block(16, PagedPool); },
     "PAGED_POOL_AT_DISPATCH_LEVEL in ExAllocatePoolWithTag"},
    {"PoolFreedTwice", [] { void* block = Block(); ExFreePool(block); ExFreePool(block); },
     "POOL_FREED_TWICE in ExFreePool: .* is not a live pool block"},
    {"FreeOfAPointerInsideABlock",
     [] { ExFreePool(static_cast<char*>(Block()) + 8); },
     "POOL_FREED_TWICE in ExFreePool"},
    {"PoolFreedWithAnotherTag", [] { ExFreePoolWithTag(Block(), 0x74736554); },
     "POOL_FOREIGN_TAG in ExFreePoolWithTag: block .* has tag 'Ddk ', freed with tag 'Test'"},
    {"PoolFreedWhileHoldingAnArmedTimer",
     [] { PKTIMER timer = PoolTimer(); KeInitializeTimer(timer); ArmFor(timer, 1); ExFreePool(timer); },
     "TIMER_ALIVE_AT_POOL_FREE in ExFreePool"},
    {"TimerNeverInitialised", [] { ArmFor(PoolTimer(), 1); }, "OBJECT_NOT_INITIALIZED in KeSetTimer"},
    {"PoolLeakedAtUnload",
     [] { Block(132); Block(132); host::session::CheckDriverUnloaded(); },
     "POOL_LEAKED_AT_UNLOAD in DriverUnload: 2 pool block\\(s\\) outstanding: tag 'Ddk ' 132 bytes x2"},
    {"TimerArmedAtUnload",
     [] { KTIMER timer; KeInitializeTimer(&timer); ArmFor(&timer, 8); host::session::CheckDriverUnloaded(); },
     "TIMER_ALIVE_AT_UNLOAD in DriverUnload: 1 timer\\(s\\) still armed: .*due in 8000 ms"},
    {"DeferredCallQueuedAtUnload", [] { KDPC dpc; Queue(&dpc); host::session::CheckDriverUnloaded(); },
     "DPC_ALIVE_AT_UNLOAD in DriverUnload: 1 deferred call\\(s\\) queued or running"},
    {"DeferredCallQueuedOnAThreadThatEnds",
     [] { static KDPC dpc; host::session::StartLive(); std::thread([] { KfRaiseIrql(DISPATCH_LEVEL); Queue(&dpc); }).join(); },
     "DPC_QUEUED_AT_THREAD_END in .*: a thread ended with 1 deferred call\\(s\\) queued"},
    {"SystemThreadAliveAtUnload",
     [] {
       HANDLE handle;
       PKEVENT never = Event(FALSE);
       PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, BlockForever, never);
       while (host::ke::WaitersOn(never) == 0) std::this_thread::yield();
       host::session::CheckDriverUnloaded();
     },
     "THREAD_ALIVE_AT_UNLOAD in DriverUnload: 1 system thread\\(s\\) still running"},
    {"DriverRoutineEnteredAboveItsLevel", [] { static PortRecord port; KfRaiseIrql(DISPATCH_LEVEL); ApplyBaudRate(&port); },
     "IRQL_CONTRACT_BROKEN in ApplyBaudRate: entered at IRQL 2; its contract is "
     "_IRQL_requires_\\(PASSIVE_LEVEL\\)"},
    {"DriverRoutineEnteredWithoutItsLock", [] { static PortRecord port; QueueLineSettings(&port); },
     "LOCK_CONTRACT_BROKEN in QueueLineSettings: entered at IRQL 0 without holding .*; its "
     "contract is _Requires_lock_held_\\(port->PortLock\\)"},
    {"DereferenceOfAnUnreferencedObject", [] { KEVENT notAnObject; ObDereferenceObject(&notAnObject); },
     "OBJECT_REFERENCE_UNDERFLOW in ObfDereferenceObject"},

    {"RequestCompletedTwice",
     [] { ReadThenCancel([](auto, PIRP irp) { Complete(irp, STATUS_SUCCESS); return Complete(irp, STATUS_SUCCESS); }); },
     "IRP_COMPLETED_TWICE in IofCompleteRequest"},
    {"RequestCompletedWithItsCancelRoutineSet",
     [] { ReadThenCancel([](auto, PIRP irp) { IoSetCancelRoutine(irp, NeverCalled); return Complete(irp, STATUS_SUCCESS); }); },
     "IRP_COMPLETED_WITH_CANCEL_ROUTINE in IofCompleteRequest"},
    {"CancelRoutineReturningWithTheCancelLock", [] { CancelReadWaitingWith([](PDEVICE_OBJECT, PIRP) {}); },
     "CANCEL_ROUTINE_KEPT_CANCEL_LOCK in .*: cancel routine of request"},
    {"CancelRoutineReturningAtAnotherLevel",
     [] { CancelReadWaitingWith([](PDEVICE_OBJECT, PIRP) { IoReleaseCancelSpinLock(DISPATCH_LEVEL); }); },
     "IRQL_CHANGED_BY_CANCEL_ROUTINE in .*returned at IRQL 2 instead of 0"},
    {"PendingReturnedWithoutMarkingTheRequest",
     [] { ReadThenCancel([](auto, PIRP irp) { Complete(irp, STATUS_SUCCESS); return STATUS_PENDING; }); },
     "IRP_PENDING_NOT_MARKED in IofCallDriver: .*\\\\Driver\\\\Tiny"},
    {"FinalStatusReturnedForARequestStillInTheDriver",
     [] { ReadThenCancel([](auto, PIRP) { return STATUS_SUCCESS; }); },
     "IRP_NOT_COMPLETED_AT_RETURN in IofCallDriver"},
    {"RequestCompletedWithPendingStatus",
     [] { ReadThenCancel([](auto, PIRP irp) { return Complete(irp, STATUS_PENDING); }); },
     "IRP_COMPLETED_WITH_PENDING_STATUS in IofCompleteRequest"},
    {"DeviceDeletedWithAnArmedTimerInItsExtension", [] { DeleteDeviceHolding(true); },
     "TIMER_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice: device \\\\Device\\\\v"},
    {"DeviceDeletedWithAQueuedDeferredCallInItsExtension", [] { DeleteDeviceHolding(false); },
     "DPC_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice"},
    {"DeviceDeletedTwice",
     [] { TinyDriver driver; auto device = driver.AddDevice(u"\\Device\\v"); IoDeleteDevice(device); IoDeleteDevice(device); },
     "DEVICE_DELETED_TWICE in IoDeleteDevice"},
    {"UnloadLeavingADeviceObject", [] { LoadAndUnloadWith([](PDRIVER_OBJECT) {}); },
     "DEVICE_ALIVE_AT_UNLOAD in UnloadDriver: driver \\\\Driver\\\\tessacom left 1 device object"},
    {"UnloadLeavingASymbolicLinkToItsDevice",
     [] { LoadAndUnloadWith([](PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }); },
     "SYMBOLIC_LINK_ALIVE_AT_UNLOAD in UnloadDriver: .*\\\\DosDevices\\\\COM9"},
    {"ErrorLogEntryWrittenTwice",
     [] {
       TinyDriver driver;
       auto entry = IoAllocateErrorLogEntry(driver.Driver(), 48);
       IoWriteErrorLogEntry(entry);
       IoWriteErrorLogEntry(entry);
     },
     "ERROR_LOG_ENTRY_NOT_ALLOCATED in IoWriteErrorLogEntry"},
    {"PagedPoolProbedAndLockedWithoutAHandler",
     [] { MmProbeAndLockPages(MdlOfPool(PagedPool), KernelMode, IoModifyAccess); },
     "PAGED_POOL_PROBED_WITHOUT_HANDLER in MmProbeAndLockPages: MDL .* describes offset 0x0 in "
     "pool block .*paged pool"},
    {"MdlChargedToQuota", [] { IoAllocateMdl(Block(64, NonPagedPool), 64, FALSE, TRUE, nullptr); },
     "MDL_QUOTA_CHARGED in IoAllocateMdl"},
    {"MdlForNonPagedPoolBuiltOnPagedPool", [] { MmBuildMdlForNonPagedPool(MdlOfPool(PagedPool)); },
     "MDL_NOT_NONPAGED_POOL in MmBuildMdlForNonPagedPool: MDL .* describes 64 bytes at offset 0x0"},
    {"BuiltRequestReleasedWithAnMdlForNonPagedPool",
     [] {
       TinyDriver driver;
       PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v");
       PIRP irp = IoBuildDeviceIoControlRequest(3, device, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr);
       irp->MdlAddress = MdlOfPool(NonPagedPool);
       MmBuildMdlForNonPagedPool(irp->MdlAddress);
       IofCallDriver(device, irp);
     },
     "MDL_BUILT_FOR_NONPAGED_POOL in MmUnlockPages"},
    {"RegistryQueriedAtDispatchLevel",
     [] { KfRaiseIrql(DISPATCH_LEVEL); RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, nullptr, nullptr, nullptr, nullptr); },
     "REGISTRY_CALL_AT_RAISED_IRQL in RtlQueryRegistryValues"},
};

class Verifier : public testsupport::ManualExecutive, public ::testing::WithParamInterface<Stop> {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ManualExecutive::SetUp();
  }
};

TEST_P(Verifier, Stops) {
  EXPECT_DEATH(GetParam().provoke(), std::string("HOST VERIFIER STOP: ") + GetParam().pattern);
}

std::string StopName(const ::testing::TestParamInfo<Stop>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(EachCheck, Verifier, ::testing::ValuesIn(kStops), StopName);

}  // namespace
