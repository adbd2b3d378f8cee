// Load, configuration, devices and names, the error log and unload of the real driver in the
// host (compiled in, or the kernel image under test): what exists after load, what a failed
// load leaves (nothing), and what unload leaves (nothing either). Every load of the table is
// checked whole (devices newest first, each record as creation leaves it, names both ways,
// bindings, receivers, nothing sent or logged) and unloaded, the names back as they were.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <numeric>

#include "host/ex/pool_control.h"
#include "host/io/io_manager.h"
#include "host/io/system_error_log.h"
#include "host/net/udp_transport.h"
#include "host/ob/object_names.h"
#include "host/ob/objects.h"
#include "host/registry/registry.h"
#include "host/session/driver_loader.h"
#include "host/session/executive.h"
#include "support/driver_session.h"
#include "support/driver_under_test.h"

using testsupport::DriverSession;
using testsupport::kServiceKey;

namespace {

using Step = std::function<void(DriverSession&)>;
using Names = std::vector<std::pair<std::string, std::string>>;

struct Load {
  const char* name;
  std::vector<std::pair<std::string, uint32_t>> values;  // REG_DWORDs of the service key
  Step configure = nullptr;                              // the rest of the set-up
  NTSTATUS status = STATUS_SUCCESS;
  int devices = 3;
  ULONG firstCom = 3;
  // A COM name and a device: each names the other (link, SERIALCOMM value); one of them
  // empty: the other has none.
  Names names = {{"COM3", "vxserial0"}, {"COM5", "vxserial2"}};
  std::vector<std::pair<LONG, ULONG>> bindings = {{2, 3}, {2, 3}, {2, 3}};  // channel, address
  int receivers = 1;
  size_t logged = 0;    // error log entries
  Step then = nullptr;  // after the checks of load, before unload
};

std::map<std::string, std::string> Links() {
  std::map<std::string, std::string> links;
  for (const auto& entry : host::ob::List()) {
    if (entry.kind == host::ob::Kind::SymbolicLink) links[entry.name] = entry.target;
  }
  return links;
}

void ExpectNames(const Names& names) {
  for (const auto& [com, device] : names) {
    size_t bytes = 0;
    const std::string link = com.empty() ? "" : DriverSession::LinkTargetOf(com);
    const std::string value = device.empty() ? "" : DriverSession::DeviceMapValue(device, &bytes);
    EXPECT_EQ(link, com.empty() || device.empty() ? "" : "\\Device\\" + device) << com;
    EXPECT_EQ(value, device.empty() ? "" : com) << device;
    EXPECT_EQ(bytes, value.empty() ? 0 : (com.size() + 1) * 2) << device;  // with its zero
  }
}

// An image is where the loader mapped it, as the kernel's loader records it: its headers at
// DriverStart, SizeOfImage bytes, the entry inside. A compiled-in driver has no image.
void ExpectImageRecorded(const tessacom::DriverBinding& driver) {
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  EXPECT_EQ(object->DriverUnload, driver.UnloadDriver);
  const auto* start = static_cast<const uint8_t*>(object->DriverStart);
  if (testsupport::ImageUnderTest().empty()) {
    EXPECT_EQ(std::pair(start, object->DriverSize), (std::pair<const uint8_t*, ULONG>(nullptr, 0)));
    return;
  }
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(std::memcmp(start, "MZ", 2), 0);
  uint32_t headers = 0, sizeOfImage = 0;
  std::memcpy(&headers, start + 0x3C, 4);
  std::memcpy(&sizeOfImage, start + headers + 24 + 56, 4);  // PE32 and PE32+ alike
  EXPECT_EQ(object->DriverSize, sizeOfImage);
  const auto* entry = reinterpret_cast<const uint8_t*>(driver.DriverEntry);
  EXPECT_TRUE(entry > start && entry < start + object->DriverSize);
}

void ExpectLoaded(const Load& row, const tessacom::DriverBinding& driver) {
  std::vector<LONG> order(row.devices), oldestFirst;  // the list holds the newest first
  std::iota(order.begin(), order.end(), 0);
  PDRIVER_OBJECT object = host::session::LoadedDriver();
  for (PDEVICE_OBJECT d = object ? object->DeviceObject : nullptr; d; d = d->NextDevice) {
    oldestFirst.insert(oldestFirst.begin(), static_cast<PortRecord*>(d->DeviceExtension)->PortIndex);
  }
  EXPECT_EQ(oldestFirst, order);
  if (!NT_SUCCESS(row.status)) {
    EXPECT_EQ(host::net::GetCounters().addressObjects, 0u);
    return;  // its names are checked once it is released
  }
  for (int i = 0; i < row.devices; i++) {
    PortRecord* record = driver.PortTable[i].PortRecord;
    ASSERT_NE(record, nullptr) << i;
    EXPECT_EQ(record->ComNumber, row.firstCom + i);
    EXPECT_EQ(record->DeviceObject->DeviceExtension, record);
    EXPECT_EQ(record->DeviceObject->Flags & (DO_BUFFERED_IO | DO_EXCLUSIVE), ULONG(DO_BUFFERED_IO | DO_EXCLUSIVE));
    EXPECT_EQ(std::pair(record->DeviceObject->DeviceType, record->DeviceObject->Characteristics),
              std::pair(static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT), ULONG{0}));
    EXPECT_EQ(record->DeviceName.MaximumLength, record->DeviceName.Length + 2);
  }
  EXPECT_TRUE(row.devices == MAX_PORTS || driver.PortTable[row.devices].PortRecord == nullptr);
  ExpectNames(row.names);
  for (size_t i = 0; i < row.bindings.size(); i++) {
    EXPECT_EQ(std::pair(driver.PortTable[i].RemoteChannel, driver.PortTable[i].RemoteAddress), row.bindings[i]) << i;
  }
  EXPECT_EQ(driver.ReceiverCount, row.receivers);
  EXPECT_EQ(driver.LinkThreadCount(), row.receivers + 1);  // and the sender
  ExpectImageRecorded(driver);
}

// What unload (or a failed load) leaves: nothing of the driver's, the names as they were.
void ExpectNothingLeft(const DriverSession& session, const std::map<std::string, std::string>& links) {
  for (int i = 0; testsupport::ImageUnderTest().empty() && i < MAX_PORTS; i++) {
    EXPECT_EQ(session.Driver().PortTable[i].PortRecord, nullptr) << i;
  }
  EXPECT_EQ(host::session::ArmedTimerCount(), 0u);
  EXPECT_EQ(host::session::AdvanceClock(20000000), 0u);
  EXPECT_EQ(host::ex::OutstandingBlocks(), 0u);
  EXPECT_TRUE(host::registry::ValueNames(testsupport::kSerialComm).empty());
  EXPECT_EQ(Links(), links);
  EXPECT_EQ(host::net::GetCounters().addressObjects, 0u);
}

Step FailDevice(size_t nth) {
  return [nth](DriverSession&) { host::io::FailNthDeviceCreation(nth); };
}

// The binding follows the registry at the next configuration read; a key that cannot be
// opened unbinds every port.
void Rereads(DriverSession& session) {
  host::registry::SetDword(kServiceKey, "StartNum1", 7);
  EXPECT_EQ(session.Driver().ReadPortConfiguration(), STATUS_SUCCESS);
  EXPECT_EQ(session.Driver().PortTable[0].RemoteChannel, 6);
  host::registry::DeleteKey(kServiceKey);
  EXPECT_EQ(session.Driver().ReadPortConfiguration(), STATUS_SUCCESS);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(std::pair(session.Driver().PortTable[i].RemoteChannel, session.Driver().PortTable[i].RemoteAddress),
              std::pair(-1, 0u));
  }
}

// Only a four-byte REG_DWORD is a configuration value: any other type or size reads as absent.
// (Read directly into its four-byte variable, a string would be stored there as a counted
// string, past the variable's end.)
void ValuesOfOtherTypesAndSizes(DriverSession&) {
  const uint8_t two[] = {2, 0}, eight[] = {9, 0, 0, 0, 0, 0, 0, 0}, four[] = {1, 0, 0, 0};
  host::registry::SetString(kServiceKey, "StartPort", "7");
  host::registry::SetValue(kServiceKey, "MaxPort", REG_BINARY, eight);
  host::registry::SetMultiString(kServiceKey, "StartNum1", {"1"});
  host::registry::SetString(kServiceKey, "dAddress1", "127.0.0.1", REG_EXPAND_SZ);
  host::registry::SetValue(kServiceKey, "StartNum2", REG_DWORD, two);
  host::registry::SetValue(kServiceKey, "dAddress2", REG_BINARY, four);
}

// Out of name buffers: the one error log entry, and no port.
void LoggedOnce(DriverSession&) {
  auto entries = host::io::Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].Size(), 48u);
  EXPECT_EQ(entries[0].loggedAgainst, host::session::LoadedDriver());
  IO_ERROR_LOG_PACKET packet = entries[0].Packet();
  EXPECT_EQ(std::tuple(static_cast<ULONG>(packet.ErrorCode), packet.UniqueErrorValue, packet.FinalStatus,
                       packet.DumpDataSize, packet.NumberOfStrings),
            std::tuple(0xC0060008u, 9u, STATUS_SUCCESS, USHORT(0), USHORT(0)));
}

// Unload with a read timeout armed, a deferred call and a control packet queued: none runs
// or stays after it.
void ArmsWhatUnloadMustStop(DriverSession& session) {
  PortRecord* record = session.Driver().PortTable[1].PortRecord;
  LARGE_INTEGER due;
  due.QuadPart = -10000000;
  KeSetTimer(&record->ReadTotalTimer, due, &record->ReadTotalTimeoutDpc);
  KeInsertQueueDpc(&record->WriteDpc, nullptr, nullptr);
  session.Driver().QueueLinkPacket(PKT_CLOSE, nullptr, 0, 2);
}

const NTSTATUS kNoPort = STATUS_SERIAL_NO_DEVICE_INITED;
const Load kLoads[] = {
    {.name = "an empty key: three default ports on channel 2 of 0.0.0.3", .names = {{"COM3", "vxserial0"},
     {"COM4", "vxserial1"}, {"COM5", "vxserial2"}}},
    {.name = "values bind ports and channels, and follow the registry at the next read",
     .values = {{"StartPort", 1}, {"MaxPort", 4}, {"StartNum1", 1}, {"dAddress1", 0x7F000A01}, {"dAddress2", 0},
                {"dAddress3", 0x7F000A01}, {"StartNum4", 300}, {"dAddress4", 0x7F000A02}},
     .devices = 4, .firstCom = 1, .names = {{"COM1", "vxserial0"}, {"COM4", "vxserial3"}},
     .bindings = {{0, 0x7F000A01}, {2, 0}, {2, 0x7F000A01}, {299, 0x7F000A02}}, .receivers = 2, .then = Rereads},
    {.name = "no more than 256 ports", .values = {{"MaxPort", 300}, {"dAddress1", 0}}, .devices = 256,
     .names = {{"COM258", "vxserial255"}}, .bindings = {{2, 0}, {2, 3}}},
    {.name = "a COM number whose digits do not fit gets no name but its device", .values = {{"StartPort", 9998}},
     .firstCom = 9998,
     .names = {{"COM9998", "vxserial0"}, {"COM9999", "vxserial1"}, {"COM10000", ""}, {"", "vxserial2"}}},
    {.name = "no port: a count of 0", .values = {{"MaxPort", 0}}, .status = kNoPort, .devices = 0},
    {.name = "no port: a count of -1", .values = {{"MaxPort", 0xFFFFFFFF}}, .status = kNoPort, .devices = 0},
    {.name = "no port: the first device refused", .configure = FailDevice(1), .status = kNoPort, .devices = 0},
    {.name = "the third device refused: the first two stay", .configure = FailDevice(3), .devices = 2,
     .names = {{"COM3", "vxserial0"}, {"COM4", "vxserial1"}, {"COM5", ""}}},
    {.name = "values of another type or size read as absent", .configure = ValuesOfOtherTypesAndSizes},
    // COM number = index + StartPort and channel = StartNum - 1 never overflow
    // (UndefinedBehaviorSanitizer stops the suite on one).
    {.name = "extreme values never overflow",
     .values = {{"StartPort", 0x7FFFFFFF}, {"StartNum1", 0x80000000}, {"StartNum2", 0}, {"StartNum3", 0xFFFFFFFF}},
     .firstCom = 0x7FFFFFFF, .names = {{"", "vxserial2"}}, .bindings = {{0x7FFFFFFF, 3}, {-1, 3}, {-2, 3}}},
    // Allocations of load: the configuration path, two queries, then the number string.
    {.name = "no name buffers: the one error log entry",
     .configure = [](DriverSession&) { host::ex::FailNthAllocation(4); }, .status = kNoPort, .devices = 0,
     .logged = 1, .then = LoggedOnce},
    {.name = "a COM name owned elsewhere is neither taken nor deleted",
     .configure = [](DriverSession&) { host::ob::CreateLink("\\DosDevices\\COM4", "\\Device\\OtherSerial"); },
     .names = {{"COM3", "vxserial0"}, {"", "vxserial1"}, {"COM5", "vxserial2"}}},
    // The object manager refuses the second reference of load, which follows the endpoint's
    // (and would be the sender thread's): unload waits for the thread all the same (the
    // loader's checks stop the host on a thread still running).
    {.name = "unload waits for every link thread it started, referenced or not",
     .configure = [](DriverSession&) { host::ob::FailNthReferenceByHandle(2); },
     .then = [](DriverSession&) { host::ob::FailNthReferenceByHandle(0); }},
    {.name = "unload stops timers, deferred calls and control packets", .values = {{"MaxPort", 4}}, .devices = 4,
     .names = {{"COM3", "vxserial0"}, {"COM6", "vxserial3"}}, .then = ArmsWhatUnloadMustStop},
};

TEST(DriverLoad, EachConfigurationLoadsWhatItSaysAndUnloadLeavesNothing) {
  for (const Load& row : kLoads) {
    SCOPED_TRACE(row.name);
    DriverSession session;
    for (const auto& [name, value] : row.values) session.SetValue(name, value);
    if (row.configure) row.configure(session);
    const auto links = Links();
    EXPECT_EQ(session.Load(), row.status);
    ExpectLoaded(row, session.Driver());
    EXPECT_EQ(host::net::GetCounters().datagramsSent, 0u);
    EXPECT_EQ(host::net::GetCounters().refusedByGuard, 0u);
    if (row.then) row.then(session);
    EXPECT_EQ(host::io::Entries().size(), row.logged);
    session.Unload();  // the loader's verifier checks pool, timers, calls, threads, devices, links
    ExpectNothingLeft(session, links);
  }
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
    SCOPED_TRACE("allocation " + std::to_string(k));
    DriverSession session;
    host::ex::FailNthAllocation(k);
    NTSTATUS status = session.Load();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == kNoPort || status == STATUS_INSUFFICIENT_RESOURCES) << status;
    session.Unload();
    ExpectNothingLeft(session, {});
  }
}

}  // namespace
