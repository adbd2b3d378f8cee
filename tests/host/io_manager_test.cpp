// The host's I/O manager with a tiny driver: devices, names, request building and
// completion, cancellation, the client API, the error log and the driver loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "host/io/client.h"
#include "host/io/io_manager.h"
#include "host/io/system_error_log.h"
#include "host/ke/released_memory.h"
#include "host/ob/object_names.h"
#include "host/session/driver_loader.h"
#include "kernel.h"
#include "support/executive_session.h"
#include "support/tiny_driver.h"

using testsupport::Complete;
using testsupport::Counted;
using testsupport::TinyDriver;

namespace {

PIRP parked = nullptr;  // the last request a handler left pending

NTSTATUS NTAPI Park(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  parked = irp;
  return STATUS_PENDING;
}

class IoManagerTest : public testsupport::ManualExecutive {
 protected:
  void TearDown() override {
    host::io::ClearFailures();
    host::ob::RemoveAllLinks();
    host::io::Clear();
    ManualExecutive::TearDown();
  }
};

// ---- devices and names ----

TEST_F(IoManagerTest, DevicesAreListedNewestFirstUnlinkedOnDeleteNamedOnceAndReachedThroughLinks) {
  TinyDriver driver;
  PDEVICE_OBJECT a = driver.AddDevice(u"\\Device\\a", 64, true);
  PDEVICE_OBJECT b = driver.AddDevice(u"\\Device\\b");
  PDEVICE_OBJECT c = driver.AddDevice(u"");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ((std::vector{driver.Driver()->DeviceObject, c->NextDevice, b->NextDevice}), (std::vector{c, b, a}));
  const auto* extension = static_cast<const unsigned char*>(a->DeviceExtension);
  EXPECT_TRUE(std::all_of(extension, extension + 64, [](unsigned char byte) { return byte == 0; })) << "a zeroed extension";
  EXPECT_TRUE(host::ob::Exists("\\device\\B"));
  auto opened = host::io::Open("\\Device\\b");
  IoDeleteDevice(b);
  EXPECT_EQ(c->NextDevice, a);
  EXPECT_FALSE(host::ob::Exists("\\Device\\b"));
  char buffer[2];
  EXPECT_EQ(opened.file.Read(buffer, 2).status, STATUS_NO_SUCH_DEVICE);
  opened.file.Close();
  EXPECT_EQ(driver.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE}) << "nothing reaches a deleted device";

  auto create = [&](std::u16string text) {
    UNICODE_STRING name = Counted(text);
    PDEVICE_OBJECT device = nullptr;
    return IoCreateDevice(driver.Driver(), 0, &name, 0, 0, FALSE, &device);
  };
  EXPECT_EQ(create(u"\\DEVICE\\A"), STATUS_OBJECT_NAME_COLLISION);
  host::io::FailNthDeviceCreation(2);
  EXPECT_EQ(create(u"\\Device\\y"), STATUS_SUCCESS);
  EXPECT_EQ(create(u"\\Device\\z"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(host::ob::Exists("\\Device\\z"));
  EXPECT_NE(driver.AddDevice(u"\\Device\\z"), nullptr) << "only the chosen call fails";
  EXPECT_EQ(host::io::DeviceCount(driver.Driver()), 4u);

  // A COM name another driver owns is not taken; a link resolves in every spelling.
  driver.AddDevice(u"\\Device\\vxserial0");
  ASSERT_EQ(host::ob::CreateLink("\\DosDevices\\COM3", "\\Device\\elsewhere"), STATUS_SUCCESS);
  std::u16string link = u"\\DosDevices\\COM3", target = u"\\Device\\vxserial0";
  UNICODE_STRING linkName = Counted(link), targetName = Counted(target);
  EXPECT_EQ(IoCreateSymbolicLink(&linkName, &targetName), STATUS_OBJECT_NAME_COLLISION)
      << "another driver owns the COM name";
  EXPECT_EQ(host::ob::LinkTarget("\\??\\com3"), "\\Device\\elsewhere");
  ASSERT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&linkName), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(IoCreateSymbolicLink(&linkName, &targetName), STATUS_SUCCESS);
  EXPECT_NE(host::ob::Listing().find("\\DosDevices\\COM3 -> \\Device\\vxserial0"), std::string::npos);

  for (const char* spelling : {"COM3", "com3", "\\\\.\\COM3", "\\DosDevices\\COM3", "\\??\\COM3",
                               "\\Device\\VXSERIAL0"}) {
    auto opened = host::io::Open(spelling);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << spelling;
    EXPECT_EQ(opened.file.Device(), driver.Driver()->DeviceObject) << spelling;
  }
  EXPECT_EQ(host::io::Open("COM4").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

// ---- open, cleanup and close ----

// An exclusive device refuses a second open before its driver sees it; the close comes after
// the cleanup, once the last request and the last reference that hold the file are gone.
TEST_F(IoManagerTest, ExclusiveDeviceRefusesASecondOpenAndCloseWaitsForTheLastHolderOfTheFile) {
  TinyDriver driver;
  driver.AddDevice(u"\\Device\\only", 0, true, DO_BUFFERED_IO);
  driver.On(IRP_MJ_CREATE, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_NOT_A_DIRECTORY); });
  EXPECT_EQ(host::io::Open("\\Device\\only").status, STATUS_NOT_A_DIRECTORY);
  driver.On(IRP_MJ_CREATE, nullptr);
  auto first = host::io::Open("\\Device\\only");
  ASSERT_EQ(first.status, STATUS_SUCCESS) << "a refused create does not count as an open file";
  EXPECT_EQ(host::io::Open("\\Device\\only").status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(driver.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE}));

  driver.On(IRP_MJ_READ, Park);
  char buffer[4];
  host::io::AsyncRequest read = first.file.ReadAsync(buffer, sizeof(buffer));
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  EXPECT_EQ(first.file.Close(), STATUS_SUCCESS);
  EXPECT_EQ(driver.Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
  std::memcpy(parked->AssociatedIrp.SystemBuffer, "abcd", 4);
  Complete(parked, STATUS_SUCCESS, 4);
  EXPECT_EQ(read.Wait().information, 4u);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(driver.Majors().size(), 4u) << "the request object still holds the file";
  read = host::io::AsyncRequest();
  EXPECT_EQ(driver.Majors().back(), IRP_MJ_CLOSE);
  auto again = host::io::Open("\\Device\\only");
  EXPECT_EQ(again.status, STATUS_SUCCESS) << "free again after close";

  // Another holder lets go of the last reference while the cleanup is in the driver: the close
  // still comes after the cleanup.
  PVOID body = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(again.file.Handle(), 0, nullptr, KernelMode, &body, nullptr), STATUS_SUCCESS);
  driver.On(IRP_MJ_CLEANUP, [&](PDEVICE_OBJECT, PIRP irp) {
    std::thread([&] { ObfDereferenceObject(body); }).join();
    EXPECT_EQ(driver.Majors().back(), IRP_MJ_CLEANUP) << "no close while the cleanup is in the driver";
    return Complete(irp, STATUS_SUCCESS);
  });
  again.file.Close();
  EXPECT_EQ(driver.Majors().back(), IRP_MJ_CLOSE);
}

// ---- transfers and cancellation ----

bool lockHeldInRoutine = false;
KIRQL savedLevel = 0;

VOID NTAPI RecordingCancel(PDEVICE_OBJECT, PIRP irp) {
  lockHeldInRoutine = host::ke::CancelSpinLockHeldByCaller();
  savedLevel = irp->CancelIrql;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

// Buffered transfers copy what the driver reports, never past the caller's buffer. A cancel
// enters the request's cancel routine with the cancel lock and the canceller's level, or only
// marks a request that has none.
TEST_F(IoManagerTest, BufferedTransfersCopyTheReportedBytesButNeverPastTheCallersBufferAndCancelsReachTheDriver) {
  TinyDriver driver;
  driver.AddDevice(u"\\Device\\d", 0, false, DO_BUFFERED_IO);
  ULONG_PTR report = 0;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG seenLength = 0;
  driver.On(IRP_MJ_READ, [&](PDEVICE_OBJECT, PIRP irp) {
    seenLength = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    EXPECT_EQ(irp->RequestorMode, UserMode);
    EXPECT_EQ(irp->Tail.Overlay.Thread, KeGetCurrentThread());
    std::memset(irp->AssociatedIrp.SystemBuffer, 'x', seenLength);
    return Complete(irp, status, report);
  });
  auto opened = host::io::Open("\\Device\\d");
  struct {
    char data[8], guard[8];
  } target;
  auto read = [&](ULONG_PTR reported, NTSTATUS result) {
    std::memset(&target, '.', sizeof(target));
    report = reported;
    status = result;
    return opened.file.Read(target.data, sizeof(target.data));
  };
  EXPECT_EQ(read(3, STATUS_SUCCESS).information, 3u);
  EXPECT_EQ(seenLength, 8u);
  EXPECT_EQ(std::string(target.data, 8), "xxx.....");
  EXPECT_EQ(read(100, STATUS_SUCCESS).information, 100u) << "reported as the driver said";
  EXPECT_EQ(std::string(target.data, 8), "xxxxxxxx");
  EXPECT_EQ(std::string(target.guard, 8), "........") << "nothing past the caller's buffer";
  EXPECT_EQ(read(4, STATUS_INVALID_PARAMETER).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::string(target.data, 8), "........") << "a failed request copies nothing";

  // Device controls use the system buffer too, for input and output.
  ULONG outLength = 0;
  driver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    outLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    if (outLength >= 8) buffer[1] = buffer[0] * 2;  // the output overlays the input
    return Complete(irp, STATUS_SUCCESS, 8);  // claims 8 bytes even when only 4 fit
  });

  const ULONG ioctlSetBaud = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
  ULONG input = 21;
  ULONG output[3] = {7, 7, 7};
  auto result = opened.file.DeviceControl(ioctlSetBaud, &input, sizeof(input), output, sizeof(output));
  EXPECT_EQ(std::pair(outLength, result.information), std::pair(ULONG{12}, ULONG_PTR{8}));
  EXPECT_EQ(std::vector<ULONG>(output, output + 3), (std::vector<ULONG>{21, 42, 7}))
      << "bytes past the information count stay as they were";

  ULONG small = 5;
  opened.file.DeviceControl(ioctlSetBaud, &input, sizeof(input), &small, sizeof(small));
  EXPECT_EQ(small, 21u) << "at most the output length is copied out";

  // Reads park in the driver; the first one with a cancel routine, the next one without.
  driver.On(IRP_MJ_READ, [](PDEVICE_OBJECT device, PIRP irp) {
    if (parked == nullptr) IoSetCancelRoutine(irp, RecordingCancel);
    return Park(device, irp);
  });
  char buffer[4];
  parked = nullptr;
  auto guarded = opened.file.ReadAsync(buffer, sizeof(buffer));
  KIRQL before = KfRaiseIrql(APC_LEVEL);
  EXPECT_TRUE(guarded.Cancel());
  KfLowerIrql(before);
  EXPECT_EQ(std::pair(lockHeldInRoutine, savedLevel), std::pair(true, KIRQL{APC_LEVEL})) << "the level the canceller ran at";
  EXPECT_FALSE(host::ke::CancelSpinLockHeldByCaller());
  ASSERT_TRUE(guarded.Done());
  EXPECT_EQ(guarded.Current().status, STATUS_CANCELLED);
  EXPECT_FALSE(guarded.Cancel()) << "a finished request cannot be cancelled again";

  auto unguarded = opened.file.ReadAsync(buffer, sizeof(buffer));
  EXPECT_FALSE(unguarded.Cancel());
  EXPECT_TRUE(parked->Cancel);
  EXPECT_FALSE(unguarded.WaitFor(std::chrono::milliseconds(1)).has_value());
  std::thread completer([] { Complete(parked, STATUS_CANCELLED); });
  EXPECT_EQ(unguarded.Wait().status, STATUS_CANCELLED);
  completer.join();
}

// ---- requests built by drivers ----

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* seen = static_cast<std::vector<PVOID>*>(context);
  seen->push_back(device);
  seen->push_back(reinterpret_cast<PVOID>(static_cast<intptr_t>(irp->CurrentLocation)));
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A control request built as the driver builds its transport requests, with the event and
// status block its builder waits on.
struct BuiltRequest {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  PIRP irp;
  BuiltRequest(PDEVICE_OBJECT device, IO_STATUS_BLOCK initial = {}) : iosb(initial) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(3, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  }
  bool Signalled() { return KeReadStateEvent(&event) != 0; }
};

// A request goes down the stack and its completion walks back up; a built one is released
// with its MDL once its status block and event are served.
TEST_F(IoManagerTest, CallDriverMovesDownTheStackAndABuiltRequestIsReleasedWithItsMdlAfterStatusAndEvent) {
  TinyDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\d");
  static PIO_STACK_LOCATION seenStack = nullptr;
  driver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    seenStack = IoGetCurrentIrpStackLocation(irp);
    return Complete(irp, STATUS_SUCCESS, 9);
  });
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->CurrentLocation, 3);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  EXPECT_EQ(reinterpret_cast<char*>(next), reinterpret_cast<char*>(irp + 1) + sizeof(IO_STACK_LOCATION))
      << "the locations follow the request in one block";
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  std::vector<PVOID> seen;
  IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
  IO_STATUS_BLOCK iosb{};
  irp->UserIosb = &iosb;
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seenStack, next);
  EXPECT_EQ(next->DeviceObject, device);
  EXPECT_EQ(seen, (std::vector<PVOID>{nullptr, reinterpret_cast<PVOID>(3)})) << "no device above the originator's location";
  EXPECT_EQ(iosb.Status, 0) << "a request taken back by its completion routine is not finished";
  IoFreeIrp(irp);
  EXPECT_EQ(host::io::OutstandingIrps(), 0u);

  driver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL, Park);
  BuiltRequest built(device);
  ASSERT_NE(built.irp, nullptr);
  char data[16] = "datagram";
  PMDL mdl = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
  EXPECT_EQ(host::io::MdlBuffer(mdl), data);
  built.irp->MdlAddress = mdl;
  EXPECT_EQ(IoGetNextIrpStackLocation(built.irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  ASSERT_EQ(IofCallDriver(device, built.irp), STATUS_PENDING);
  EXPECT_EQ(host::io::OutstandingMdls(), 1u);
  std::thread completer([] { Complete(parked, STATUS_SUCCESS, 20); });
  EXPECT_EQ(KeWaitForSingleObject(&built.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  completer.join();
  EXPECT_EQ(built.iosb.Information, 20u);
  EXPECT_EQ(host::io::OutstandingIrps(), 0u);
  EXPECT_EQ(host::io::OutstandingMdls(), 0u);

  // Completed at once, it serves its status block and event only for success or a warning: an
  // error that never went pending leaves both untouched (its originator has the status from
  // IofCallDriver); an error after pending is served.
  static NTSTATUS completion;
  driver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, completion, 4); });
  const struct {
    NTSTATUS status;
    bool served;
  } cases[] = {{STATUS_HOST_UNREACHABLE, false}, {STATUS_BUFFER_OVERFLOW, true}, {STATUS_SUCCESS, true}};
  for (const auto& c : cases) {
    completion = c.status;
    BuiltRequest built(device, IO_STATUS_BLOCK{{static_cast<NTSTATUS>(0x12345678)}, 99});
    EXPECT_EQ(IofCallDriver(device, built.irp), c.status);
    EXPECT_EQ(std::tuple(built.Signalled(), built.iosb.Status, built.iosb.Information),
              c.served ? std::tuple(true, c.status, ULONG_PTR{4}) : std::tuple(false, NTSTATUS(0x12345678), ULONG_PTR{99}))
        << std::hex << c.status;
  }
  EXPECT_EQ(host::io::OutstandingIrps(), 0u);

  driver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL, Park);
  BuiltRequest late(device);
  ASSERT_EQ(IofCallDriver(device, late.irp), STATUS_PENDING);
  Complete(parked, STATUS_HOST_UNREACHABLE, 0);
  EXPECT_TRUE(late.Signalled());
  EXPECT_EQ(late.iosb.Status, STATUS_HOST_UNREACHABLE);
}

// ---- driver loader and error log ----

std::u16string entryPath;
KIRQL entryLevel = HIGH_LEVEL;
std::thread::id entryThread;

// The unload checks stop the host if this is not called: the device would be left.
VOID NTAPI TestUnload(PDRIVER_OBJECT driver) { IoDeleteDevice(driver->DeviceObject); }

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  entryPath.assign(path->Buffer, path->Length / 2);
  entryLevel = KeGetCurrentIrql();
  entryThread = std::this_thread::get_id();
  std::u16string name = u"\\Device\\loaded";
  UNICODE_STRING counted = Counted(name);
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 8, &counted, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  IoAllocateErrorLogEntry(driver, 48);  // never written: released at unload
  driver->DriverUnload = TestUnload;
  return status;
}


// The error log keeps written entries with their size and fields; an entry never written goes
// at unload.
TEST_F(IoManagerTest, LoaderRunsEntryOnASystemThreadAndUnloadReleasesTheDriverAndItsErrorLogEntries) {
  ASSERT_EQ(host::session::LoadDriver(TestEntry), STATUS_SUCCESS);
  EXPECT_EQ(entryPath, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom");
  EXPECT_EQ(entryLevel, PASSIVE_LEVEL);
  EXPECT_NE(entryThread, std::this_thread::get_id());
  PDRIVER_OBJECT driver = host::session::LoadedDriver();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(driver, 47), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, 48));
  ASSERT_NE(packet, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(packet);
  EXPECT_TRUE(std::all_of(bytes, bytes + 48, [](unsigned char byte) { return byte == 0; })) << "a zeroed entry";
  packet->ErrorCode = static_cast<NTSTATUS>(0xC0060008);
  packet->UniqueErrorValue = 9;
  packet->FinalStatus = STATUS_SUCCESS;
  IoWriteErrorLogEntry(packet);
  ASSERT_EQ(host::io::Entries().size(), 1u);
  EXPECT_NE(host::io::Listing().find("ErrorCode 0xC0060008 UniqueErrorValue 9 FinalStatus 0x00000000 size 48"),
            std::string::npos)
      << host::io::Listing();
  EXPECT_EQ(host::io::UnwrittenCount(), 1u) << "the entry's own";

  // Request classes the driver did not install complete with STATUS_INVALID_DEVICE_REQUEST.
  auto opened = host::io::Open("\\Device\\loaded");
  ASSERT_EQ(opened.status, STATUS_INVALID_DEVICE_REQUEST);

  host::session::UnloadDriver();
  EXPECT_EQ(host::session::LoadedDriver(), nullptr);
  EXPECT_EQ(host::io::UnwrittenCount(), 0u);
}

}  // namespace
