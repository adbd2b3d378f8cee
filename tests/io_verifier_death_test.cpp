// The I/O manager's verifier stops: requests completed twice or with a cancel routine still
// set, the pending protocol of dispatch routines, devices deleted under live timers and
// deferred calls, and drivers that leave devices or links behind at unload.
#include <gtest/gtest.h>

#include <cstring>

#include "driver_loader.h"
#include "executive.h"
#include "io_client.h"
#include "io_manager.h"
#include "kernel.h"
#include "object_names.h"
#include "support/tiny_driver.h"

using testing_support::Complete;
using testing_support::Counted;
using testing_support::TinyDriver;

namespace {

class IoVerifier : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::StartManual();
  }
  void TearDown() override {
    host::names::RemoveAllLinks();
    host::Shutdown();
  }
};

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

// Opens the device and reads once with the given read handler.
void ReadOnce(TinyDriver& driver, testing_support::Handler handler) {
  driver.On(IRP_MJ_READ, std::move(handler));
  auto opened = host::io::Open("\\Device\\v");
  char buffer[4];
  opened.file.Read(buffer, sizeof(buffer));
}

TEST_F(IoVerifier, RequestCompletedTwice) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        driver.AddDevice(u"\\Device\\v");
        ReadOnce(driver, [](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return Complete(irp, STATUS_SUCCESS);
        });
      },
      "HOST VERIFIER STOP: IRP_COMPLETED_TWICE in IofCompleteRequest");
}

TEST_F(IoVerifier, DriverAllocatedRequestCompletedTwice) {
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        --irp->CurrentLocation;  // as if a driver had it
        --irp->Tail.Overlay.CurrentStackLocation;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "HOST VERIFIER STOP: IRP_COMPLETED_TWICE in IofCompleteRequest");
}

TEST_F(IoVerifier, RequestCompletedWithItsCancelRoutineSet) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        driver.AddDevice(u"\\Device\\v");
        ReadOnce(driver, [](PDEVICE_OBJECT, PIRP irp) {
          IoSetCancelRoutine(irp, NeverCalled);
          return Complete(irp, STATUS_SUCCESS);
        });
      },
      "HOST VERIFIER STOP: IRP_COMPLETED_WITH_CANCEL_ROUTINE in IofCompleteRequest");
}

TEST_F(IoVerifier, PendingReturnedWithoutMarkingTheRequest) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        driver.AddDevice(u"\\Device\\v");
        ReadOnce(driver, [](PDEVICE_OBJECT, PIRP irp) {
          Complete(irp, STATUS_SUCCESS);
          return STATUS_PENDING;
        });
      },
      "HOST VERIFIER STOP: IRP_PENDING_NOT_MARKED in IofCallDriver: .*\\\\Driver\\\\Tiny");
}

TEST_F(IoVerifier, FinalStatusReturnedForARequestStillInTheDriver) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        driver.AddDevice(u"\\Device\\v");
        ReadOnce(driver, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
      },
      "HOST VERIFIER STOP: IRP_NOT_COMPLETED_AT_RETURN in IofCallDriver");
}

TEST_F(IoVerifier, RequestCompletedWithPendingStatus) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        driver.AddDevice(u"\\Device\\v");
        ReadOnce(driver, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); });
      },
      "HOST VERIFIER STOP: IRP_COMPLETED_WITH_PENDING_STATUS in IofCompleteRequest");
}

struct Extension {
  KTIMER timer;
  KDPC dpc;
};

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(IoVerifier, DeviceDeletedWithAnArmedTimerInItsExtension) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v", sizeof(Extension));
        auto* extension = static_cast<Extension*>(device->DeviceExtension);
        KeInitializeTimer(&extension->timer);
        LARGE_INTEGER due;
        due.QuadPart = -10000000;
        KeSetTimer(&extension->timer, due, nullptr);
        IoDeleteDevice(device);
      },
      "HOST VERIFIER STOP: TIMER_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice: device \\\\Device\\\\v");
}

TEST_F(IoVerifier, DeviceDeletedWithAQueuedDeferredCallInItsExtension) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v", sizeof(Extension));
        auto* extension = static_cast<Extension*>(device->DeviceExtension);
        KeInitializeDpc(&extension->dpc, Nothing, nullptr);
        KeInsertQueueDpc(&extension->dpc, nullptr, nullptr);
        IoDeleteDevice(device);
      },
      "HOST VERIFIER STOP: DPC_ALIVE_AT_DEVICE_DELETE in IoDeleteDevice");
}

TEST_F(IoVerifier, DeviceDeletedTwice) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\v");
        IoDeleteDevice(device);
        IoDeleteDevice(device);
      },
      "HOST VERIFIER STOP: DEVICE_DELETED_TWICE in IoDeleteDevice");
}

NTSTATUS NTAPI EntryWithDeviceAndLink(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  std::u16string name = u"\\Device\\kept";
  std::u16string link = u"\\DosDevices\\COM9";
  UNICODE_STRING deviceName = Counted(name), linkName = Counted(link);
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  return IoCreateSymbolicLink(&linkName, &deviceName);
}

VOID NTAPI UnloadKeepingEverything(PDRIVER_OBJECT) {}

VOID NTAPI UnloadKeepingTheLink(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

TEST_F(IoVerifier, UnloadLeavingADeviceObject) {
  EXPECT_DEATH(
      {
        host::LoadDriver(EntryWithDeviceAndLink);
        host::LoadedDriver()->DriverUnload = UnloadKeepingEverything;
        host::UnloadDriver();
      },
      "HOST VERIFIER STOP: DEVICE_ALIVE_AT_UNLOAD in UnloadDriver: driver \\\\Driver\\\\tessacom "
      "left 1 device object");
}

TEST_F(IoVerifier, UnloadLeavingASymbolicLinkToItsDevice) {
  EXPECT_DEATH(
      {
        host::LoadDriver(EntryWithDeviceAndLink);
        host::LoadedDriver()->DriverUnload = UnloadKeepingTheLink;
        host::UnloadDriver();
      },
      "HOST VERIFIER STOP: SYMBOLIC_LINK_ALIVE_AT_UNLOAD in UnloadDriver: .*\\\\DosDevices\\\\COM9");
}

TEST_F(IoVerifier, ErrorLogEntryWrittenTwice) {
  EXPECT_DEATH(
      {
        TinyDriver driver;
        PVOID entry = IoAllocateErrorLogEntry(driver.Driver(), 48);
        IoWriteErrorLogEntry(entry);
        IoWriteErrorLogEntry(entry);
      },
      "HOST VERIFIER STOP: ERROR_LOG_ENTRY_NOT_ALLOCATED in IoWriteErrorLogEntry");
}

TEST_F(IoVerifier, RegistryQueriedAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KfRaiseIrql(DISPATCH_LEVEL);
        RTL_QUERY_REGISTRY_TABLE table[1] = {};
        RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, nullptr, table, nullptr, nullptr);
      },
      "HOST VERIFIER STOP: REGISTRY_CALL_AT_RAISED_IRQL in RtlQueryRegistryValues");
}

}  // namespace
