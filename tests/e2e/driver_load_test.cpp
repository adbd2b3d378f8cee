// Load, configuration, devices and names, the error log and unload of the real driver in the
// host (compiled in, or the kernel image under test): what exists after load, what a failed
// load leaves (nothing), and what unload leaves (nothing either).
#include <gtest/gtest.h>

#include <cstring>

#include "port/configuration.h"
#include "host/ex/pool_control.h"
#include "host/io/io_manager.h"
#include "host/io/system_error_log.h"
#include "host/net/udp_transport.h"
#include "host/ob/object_names.h"
#include "host/ob/objects.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "support/driver_session.h"
#include "support/driver_under_test.h"

using testsupport::DriverSession;
using testsupport::kServiceKey;

namespace {

TEST(DriverLoad, EmptyKeyGivesThreeDefaultPortsAndSendsNothing) {
  DriverSession session;
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  const auto& driver = session.Driver();
  EXPECT_EQ(std::tuple(driver.MaxPort, driver.StartPort, DriverSession::DeviceCount()), std::tuple(3, 3, 3));
  for (int i = 0; i < 3; i++) {
    std::string com = "COM" + std::to_string(3 + i);
    std::string device = "\\Device\\vxserial" + std::to_string(i);
    EXPECT_EQ(DriverSession::LinkTargetOf(com), device);
    size_t bytes = 0;
    EXPECT_EQ(DriverSession::DeviceMapValue("vxserial" + std::to_string(i), &bytes), com);
    EXPECT_EQ(bytes, (com.size() + 1) * 2);  // the terminating zero character is stored
    EXPECT_EQ(std::pair(driver.PortTable[i].RemoteChannel, driver.PortTable[i].RemoteAddress), std::pair(2, 3u));
    PortRecord* record = driver.PortTable[i].PortRecord;
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ComNumber, 3u + i);
    EXPECT_EQ(record->DeviceObject->DeviceExtension, record);
    EXPECT_EQ(record->DeviceObject->Flags & (DO_BUFFERED_IO | DO_EXCLUSIVE), ULONG(DO_BUFFERED_IO | DO_EXCLUSIVE));
    EXPECT_EQ(record->DeviceObject->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(record->DeviceName.MaximumLength, record->DeviceName.Length + 2);
  }
  EXPECT_EQ(driver.PortTable[3].PortRecord, nullptr);
  EXPECT_EQ(driver.ReceiverCount, 1);  // one server, 0.0.0.3
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  EXPECT_EQ(object->DriverUnload, driver.UnloadDriver);
  // An image is where the loader mapped it, as the kernel's loader records it: its headers at
  // DriverStart, SizeOfImage bytes, the entry inside. A compiled-in driver has no image.
  const auto* start = static_cast<const uint8_t*>(object->DriverStart);
  if (testsupport::ImageUnderTest().empty()) {
    EXPECT_EQ(start, nullptr);
    EXPECT_EQ(object->DriverSize, 0u);
  } else {
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(std::memcmp(start, "MZ", 2), 0);
    uint32_t headers = 0;
    uint32_t sizeOfImage = 0;
    std::memcpy(&headers, start + 0x3C, 4);
    std::memcpy(&sizeOfImage, start + headers + 24 + 56, 4);  // PE32 and PE32+ alike
    EXPECT_EQ(object->DriverSize, sizeOfImage);
    const auto* entry = reinterpret_cast<const uint8_t*>(driver.DriverEntry);
    EXPECT_TRUE(entry > start && entry < start + object->DriverSize);
  }
  EXPECT_EQ(host::net::GetCounters().datagramsSent, 0u);
  EXPECT_EQ(host::net::GetCounters().refusedByGuard, 0u);
  EXPECT_TRUE(host::io::Entries().empty());
}

TEST(DriverLoad, ConfigurationValuesBindPortsAndChannels) {
  DriverSession session;
  session.SetValue("StartPort", 1);
  session.SetValue("MaxPort", 4);
  session.SetValue("StartNum1", 1);
  session.SetValue("dAddress1", 0x7F000A01);
  session.SetValue("dAddress2", 0);
  session.SetValue("dAddress3", 0x7F000A01);
  session.SetValue("StartNum4", 300);
  session.SetValue("dAddress4", 0x7F000A02);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  const auto& driver = session.Driver();
  EXPECT_EQ(DriverSession::LinkTargetOf("COM1"), "\\Device\\vxserial0");
  EXPECT_EQ(DriverSession::LinkTargetOf("COM4"), "\\Device\\vxserial3");
  EXPECT_EQ(driver.PortTable[0].RemoteChannel, 0);
  EXPECT_EQ(driver.PortTable[1].RemoteAddress, 0u);
  EXPECT_EQ(driver.PortTable[2].RemoteChannel, 2);  // absent StartNum3 reads as 3
  EXPECT_EQ(driver.PortTable[3].RemoteChannel, 299);
  // 0x7F000A01 shared by ports 0 and 2, 0x7F000A02 for port 3, none for port 1.
  EXPECT_EQ(driver.ReceiverCount, 2);
  EXPECT_EQ(driver.LinkThreadCount(), 3);

  // The binding follows the registry at the next configuration read.
  host::registry::SetDword(kServiceKey, "StartNum1", 7);
  EXPECT_EQ(driver.ReadPortConfiguration(), STATUS_SUCCESS);
  EXPECT_EQ(driver.PortTable[0].RemoteChannel, 6);
  // A key that cannot be opened unbinds every port.
  host::registry::DeleteKey(kServiceKey);
  EXPECT_EQ(driver.ReadPortConfiguration(), STATUS_SUCCESS);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(driver.PortTable[i].RemoteAddress, 0u);
    EXPECT_EQ(driver.PortTable[i].RemoteChannel, -1);
  }
}

TEST(DriverLoad, PortCountIsBoundedAndCOMNumbersThatDoNotFitGetNoNameButTheirDevice) {
  {
    DriverSession session;
    session.SetValue("MaxPort", 300);
    session.SetValue("dAddress1", 0);  // keep the receivers few: one for 0.0.0.3
    ASSERT_EQ(session.Load(), STATUS_SUCCESS);
    EXPECT_EQ(session.Driver().MaxPort, 256);
    EXPECT_EQ(DriverSession::DeviceCount(), 256);
    EXPECT_EQ(DriverSession::LinkTargetOf("COM258"), "\\Device\\vxserial255");
  }
  DriverSession session;
  session.SetValue("StartPort", 9998);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  EXPECT_EQ(DriverSession::DeviceCount(), 3);
  EXPECT_EQ(DriverSession::LinkTargetOf("COM9998"), "\\Device\\vxserial0");
  EXPECT_EQ(DriverSession::LinkTargetOf("COM9999"), "\\Device\\vxserial1");
  EXPECT_EQ(DriverSession::LinkTargetOf("COM10000"), "");
  EXPECT_EQ(DriverSession::DeviceMapValue("vxserial2"), "");
}

// No port at all (a count of 0 or -1, or the first device refused) fails the load, which
// leaves nothing and logs nothing; a refusal at port K keeps the first K.
TEST(DriverLoad, LoadWithoutAnyPortFailsAndDeviceCreationStoppingAtPortKKeepsTheFirstK) {
  for (auto [ports, failedCreation] : {std::pair{0u, 0}, {0xFFFFFFFFu, 0}, {3u, 1}}) {
    DriverSession session;
    session.SetValue("MaxPort", ports);
    host::io::FailNthDeviceCreation(failedCreation);
    EXPECT_EQ(session.Load(), STATUS_SERIAL_NO_DEVICE_INITED) << ports << " ports";
    EXPECT_EQ(DriverSession::DeviceCount(), 0);
    EXPECT_EQ(host::net::GetCounters().addressObjects, 0u);
    EXPECT_TRUE(host::io::Entries().empty());
  }
  DriverSession session;
  host::io::FailNthDeviceCreation(3);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  EXPECT_EQ(DriverSession::DeviceCount(), 2);
  EXPECT_EQ(session.Driver().PortTable[2].PortRecord, nullptr);
  EXPECT_EQ(DriverSession::LinkTargetOf("COM5"), "");
  EXPECT_TRUE(host::io::Entries().empty());
}

// Only a four-byte REG_DWORD is a configuration value: any other type or size reads as absent.
// (Read directly into its four-byte variable, a string would be stored there as a counted
// string, past the variable's end.) COM number = index + "StartPort" and channel = "StartNum"
// - 1 never overflow at the extreme 32-bit values (UndefinedBehaviorSanitizer stops the suite on
// one), and a COM number whose digits do not fit gets no name.
TEST(DriverLoad, ValuesOfAnotherTypeOrSizeReadAsAbsentAndExtremeValuesNeverOverflow) {
  {
    DriverSession session;
    const uint8_t two[] = {2, 0};
    const uint8_t eight[] = {9, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t four[] = {1, 0, 0, 0};
    host::registry::SetString(kServiceKey, "StartPort", "7");
    host::registry::SetValue(kServiceKey, "MaxPort", REG_BINARY, eight);
    host::registry::SetMultiString(kServiceKey, "StartNum1", {"1"});
    host::registry::SetString(kServiceKey, "dAddress1", "127.0.0.1", REG_EXPAND_SZ);
    host::registry::SetValue(kServiceKey, "StartNum2", REG_DWORD, two);
    host::registry::SetValue(kServiceKey, "dAddress2", REG_BINARY, four);
    ASSERT_EQ(session.Load(), STATUS_SUCCESS);
    EXPECT_EQ(std::pair(session.Driver().StartPort, session.Driver().MaxPort), std::pair(3, 3));
    EXPECT_EQ(DriverSession::LinkTargetOf("COM3"), "\\Device\\vxserial0");
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(std::pair(session.Driver().PortTable[i].RemoteChannel, session.Driver().PortTable[i].RemoteAddress),
                std::pair(2, 3u)) << i;
    }
  }
  const uint32_t startNums[] = {0x80000000, 0, 0xFFFFFFFF};
  const LONG channels[] = {0x7FFFFFFF, -1, -2};
  DriverSession session;
  session.SetValue("StartPort", 0x7FFFFFFF);
  for (int n = 1; n <= 3; n++) session.SetValue("StartNum" + std::to_string(n), startNums[n - 1]);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  EXPECT_EQ(DriverSession::DeviceCount(), 3);
  EXPECT_EQ(session.Driver().PortTable[2].PortRecord->ComNumber, 0x80000001u);
  EXPECT_EQ(DriverSession::DeviceMapValue("vxserial2"), "");
  for (int i = 0; i < 3; i++) EXPECT_EQ(session.Driver().PortTable[i].RemoteChannel, channels[i]) << i;
}

TEST(DriverLoad, NoNameBuffersWriteTheOneErrorLogEntry) {
  DriverSession session;
  // Allocations of load: the configuration path, two queries, then the number string.
  host::ex::FailNthAllocation(4);
  EXPECT_EQ(session.Load(), STATUS_SERIAL_NO_DEVICE_INITED);
  auto entries = host::io::Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Size(), 48u);
  EXPECT_EQ(entries[0].loggedAgainst, host::session::LoadedDriver());
  IO_ERROR_LOG_PACKET packet = entries[0].Packet();
  EXPECT_EQ(std::tuple(static_cast<ULONG>(packet.ErrorCode), packet.UniqueErrorValue, packet.FinalStatus,
                       packet.DumpDataSize, packet.NumberOfStrings),
            std::tuple(0xC0060008u, 9u, STATUS_SUCCESS, USHORT(0), USHORT(0)));
}

TEST(DriverLoad, AComNameOwnedElsewhereIsNeitherTakenNorDeleted) {
  DriverSession session;
  ASSERT_EQ(host::ob::CreateLink("\\DosDevices\\COM4", "\\Device\\OtherSerial"), STATUS_SUCCESS);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  EXPECT_EQ(DriverSession::DeviceCount(), 3);
  EXPECT_EQ(DriverSession::LinkTargetOf("COM4"), "\\Device\\OtherSerial");
  EXPECT_EQ(DriverSession::DeviceMapValue("vxserial1"), "");
  EXPECT_EQ(DriverSession::DeviceMapValue("vxserial2"), "COM5");
  session.Unload();
  EXPECT_EQ(DriverSession::LinkTargetOf("COM4"), "\\Device\\OtherSerial");
  EXPECT_EQ(DriverSession::LinkTargetOf("COM3"), "");
}

// Every link thread that runs is one unload waits for, even when its thread object cannot be
// referenced: here the object manager refuses the second reference of load, which follows the
// endpoint's (and would be the sender thread's).
TEST(DriverUnload, WaitsForEveryLinkThreadItStarted) {
  DriverSession session;
  host::ob::FailNthReferenceByHandle(2);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  host::ob::FailNthReferenceByHandle(0);
  EXPECT_EQ(session.Driver().LinkThreadCount(), 2);  // the sender and the receiver of 0.0.0.3
  session.Unload();  // the loader's checks stop the host on a thread still running
}

TEST(DriverUnload, RemovesEveryPortNewestFirstAndLeavesNothing) {
  DriverSession session;
  session.SetValue("MaxPort", 4);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  std::vector<LONG> order;
  for (PDEVICE_OBJECT d = object->DeviceObject; d; d = d->NextDevice) {
    order.push_back(static_cast<PortRecord*>(d->DeviceExtension)->PortIndex);
  }
  EXPECT_EQ(order, (std::vector<LONG>{3, 2, 1, 0}));

  // A read timeout armed when unload starts never fires afterwards.
  PortRecord* record = session.Driver().PortTable[1].PortRecord;
  LARGE_INTEGER due;
  due.QuadPart = -10000000;
  KeSetTimer(&record->ReadTotalTimer, due, &record->ReadTotalTimeoutDpc);
  KeInsertQueueDpc(&record->WriteDpc, nullptr, nullptr);
  session.Driver().QueueLinkPacket(PKT_CLOSE, nullptr, 0, 2);  // a control packet still queued

  session.Unload();  // the loader's verifier checks pool, timers, calls, threads, devices, links
  for (int i = 0; testsupport::ImageUnderTest().empty() && i < 4; i++) {
    EXPECT_EQ(session.Driver().PortTable[i].PortRecord, nullptr) << i;
  }
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  EXPECT_EQ(host::session::AdvanceClock(20000000), 0u);
  EXPECT_EQ(host::ex::OutstandingBlocks(), 0u);
  EXPECT_TRUE(host::registry::ValueNames(testsupport::kSerialComm).empty());
  for (const auto& entry : host::ob::List()) {
    EXPECT_EQ(entry.name.find("COM"), std::string::npos) << entry.name;
  }
  EXPECT_EQ(host::net::GetCounters().addressObjects, 0u);
}

// Every allocation load makes, made to fail in turn: each load either succeeds or fails, and
// either way unload or the failed load leaves nothing behind (the loader's checks stop the
// host otherwise).
TEST(DriverLoad, EveryAllocationOfLoadFailingInTurnLeavesNothingBehind) {
  size_t calls = 0;
  {
    DriverSession session;
    size_t before = host::ex::AllocationCalls();
    ASSERT_EQ(session.Load(), STATUS_SUCCESS);
    calls = host::ex::AllocationCalls() - before;
  }
  ASSERT_GT(calls, 10u);
  for (size_t k = 1; k <= calls; k++) {
    DriverSession session;
    host::ex::FailNthAllocation(k);
    NTSTATUS status = session.Load();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_SERIAL_NO_DEVICE_INITED ||
                status == STATUS_INSUFFICIENT_RESOURCES)
        << "allocation " << k << " status " << std::hex << status;
    session.Unload();
    EXPECT_EQ(host::ex::OutstandingBlocks(), 0u) << "allocation " << k;
    EXPECT_EQ(DriverSession::LinkTargetOf("COM3"), "") << "allocation " << k;
  }
}

}  // namespace
