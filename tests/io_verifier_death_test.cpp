// The I/O manager's verifier stops: requests completed twice or with a cancel routine still
// set, the pending protocol of dispatch routines, devices deleted under live timers and
// deferred calls, and drivers that leave devices or links behind at unload. Every case
// provokes its stop entirely inside the child.
#include <gtest/gtest.h>

#include "host/io/client.h"
#include "host/io/io_manager.h"
#include "host/ob/object_names.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "kernel.h"
#include "support/executive_session.h"
#include "support/tiny_driver.h"

using testsupport::Complete;
using testsupport::Counted;
using testsupport::TinyDriver;

namespace {

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}
VOID NTAPI KeepsTheCancelLock(PDEVICE_OBJECT, PIRP) {}
VOID NTAPI ReleasesAtDispatchLevel(PDEVICE_OBJECT, PIRP) { IoReleaseCancelSpinLock(DISPATCH_LEVEL); }

// A tiny driver with device \Device\v whose read waits with the given cancel routine; the read
// is cancelled.
void CancelReadWaitingWith(PDRIVER_CANCEL cancel) {
  static PDRIVER_CANCEL routine;
  routine = cancel;
  TinyDriver driver;
  driver.AddDevice(u"\\Device\\v");
  driver.On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, routine);
    return STATUS_PENDING;
  });
  auto opened = host::io::Open("\\Device\\v");
  char buffer[4];
  opened.file.ReadAsync(buffer, sizeof(buffer)).Cancel();
}
VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

// A tiny driver with device \Device\v, read once with the given read handler.
void ReadOnce(testsupport::Handler handler) {
  TinyDriver driver;
  driver.AddDevice(u"\\Device\\v");
  driver.On(IRP_MJ_READ, std::move(handler));
  auto opened = host::io::Open("\\Device\\v");
  char buffer[4];
  opened.file.Read(buffer, sizeof(buffer));
}

struct Extension {
  KTIMER timer;
  KDPC dpc;
};

// Deletes a device after `prepare` set up its extension.
void DeleteDeviceAfter(void (*prepare)(Extension*)) {
  TinyDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v", sizeof(Extension));
  prepare(static_cast<Extension*>(device->DeviceExtension));
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
  host::LoadDriver(EntryWithDeviceAndLink);
  host::LoadedDriver()->DriverUnload = unload;
  host::UnloadDriver();
}

struct Stop {
  const char* name;
  void (*provoke)();
  const char* pattern;
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

const Stop kStops[] = {
    {"RequestCompletedTwice",
     [] {
       ReadOnce([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return Complete(irp, STATUS_SUCCESS);
       });
     },
     "IRP_COMPLETED_TWICE in IofCompleteRequest"},
    {"RequestCompletedWithItsCancelRoutineSet",
     [] {
       ReadOnce([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, NeverCalled);
         return Complete(irp, STATUS_SUCCESS);
       });
     },
     "IRP_COMPLETED_WITH_CANCEL_ROUTINE in IofCompleteRequest"},
    {"CancelRoutineReturningWithTheCancelLock", [] { CancelReadWaitingWith(KeepsTheCancelLock); },
     "CANCEL_ROUTINE_KEPT_CANCEL_LOCK in .*: cancel routine of request"},
    {"CancelRoutineReturningAtAnotherLevel", [] { CancelReadWaitingWith(ReleasesAtDispatchLevel); },
     "IRQL_CHANGED_BY_CANCEL_ROUTINE in .*returned at IRQL 2 instead of 0"},
    {"PendingReturnedWithoutMarkingTheRequest",
     [] { ReadOnce([](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_SUCCESS); return STATUS_PENDING; }); },
     "IRP_PENDING_NOT_MARKED in IofCallDriver: .*\\\\Driver\\\\Tiny"},
    {"FinalStatusReturnedForARequestStillInTheDriver",
     [] { ReadOnce([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }); },
     "IRP_NOT_COMPLETED_AT_RETURN in IofCallDriver"},
    {"RequestCompletedWithPendingStatus",
     [] { ReadOnce([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); }); },
     "IRP_COMPLETED_WITH_PENDING_STATUS in IofCompleteRequest"},
    {"DeviceDeletedWithAnArmedTimerInItsExtension",
     [] {
       DeleteDeviceAfter([](Extension* extension) {
         KeInitializeTimer(&extension->timer);
         LARGE_INTEGER due;
         due.QuadPart = -10000000;
         KeSetTimer(&extension->timer, due, nullptr);
       });
     },
     "TIMER_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice: device \\\\Device\\\\v"},
    {"DeviceDeletedWithAQueuedDeferredCallInItsExtension",
     [] {
       DeleteDeviceAfter([](Extension* extension) {
         KeInitializeDpc(&extension->dpc, Nothing, nullptr);
         KeInsertQueueDpc(&extension->dpc, nullptr, nullptr);
       });
     },
     "DPC_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice"},
    {"DeviceDeletedTwice",
     [] {
       TinyDriver driver;
       PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v");
       IoDeleteDevice(device);
       IoDeleteDevice(device);
     },
     "DEVICE_DELETED_TWICE in IoDeleteDevice"},
    {"UnloadLeavingADeviceObject", [] { LoadAndUnloadWith([](PDRIVER_OBJECT) {}); },
     "DEVICE_ALIVE_AT_UNLOAD in UnloadDriver: driver \\\\Driver\\\\tessacom left 1 device object"},
    {"UnloadLeavingASymbolicLinkToItsDevice",
     [] { LoadAndUnloadWith([](PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }); },
     "SYMBOLIC_LINK_ALIVE_AT_UNLOAD in UnloadDriver: .*\\\\DosDevices\\\\COM9"},
    {"ErrorLogEntryWrittenTwice",
     [] {
       TinyDriver driver;
       PVOID entry = IoAllocateErrorLogEntry(driver.Driver(), 48);
       IoWriteErrorLogEntry(entry);
       IoWriteErrorLogEntry(entry);
     },
     "ERROR_LOG_ENTRY_NOT_ALLOCATED in IoWriteErrorLogEntry"},
    {"RegistryQueriedAtDispatchLevel",
     [] {
       KfRaiseIrql(DISPATCH_LEVEL);
       RTL_QUERY_REGISTRY_TABLE table[1] = {};
       RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, nullptr, table, nullptr, nullptr);
     },
     "REGISTRY_CALL_AT_RAISED_IRQL in RtlQueryRegistryValues"},
};

class IoVerifier : public testsupport::ManualExecutive, public ::testing::WithParamInterface<Stop> {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ManualExecutive::SetUp();
  }
  void TearDown() override {
    host::names::RemoveAllLinks();
    ManualExecutive::TearDown();
  }
};

TEST_P(IoVerifier, Stops) {
  EXPECT_DEATH(GetParam().provoke(), std::string("HOST VERIFIER STOP: ") + GetParam().pattern);
}

INSTANTIATE_TEST_SUITE_P(EachCheck, IoVerifier, ::testing::ValuesIn(kStops),
                         [](const ::testing::TestParamInfo<Stop>& info) { return info.param.name; });

}  // namespace
