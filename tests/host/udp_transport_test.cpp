// The host's UDP transport behind "\device\udp", driven with requests built the way the driver
// builds them (ZwCreateFile with the driver's 52-byte transport-address attribute, internal
// device-control requests with an MDL, the driver's address records and the next stack location
// filled), against plain POSIX sockets on loopback addresses of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/net/udp_transport.h"
#include "kernel.h"
#include "link/udp_endpoint.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testsupport::UdpPeer;

constexpr uint16_t kLinkPort = 519;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The open attribute as the driver builds it: 52 bytes, the address at offset 25.
std::vector<UCHAR> Attribute() {
  std::vector<UCHAR> attribute(ENDPOINT_ATTRIBUTE_SIZE, 0);
  BuildEndpointAttribute(attribute.data(), kLinkPort, 0);
  return attribute;
}

// A datagram information record with its transport address right behind it, as the driver
// builds it. It points into itself, so it is filled in place and never copied.
struct DatagramInformation {
  alignas(8) UCHAR record[DATAGRAM_INFORMATION_SIZE] = {};
  DatagramInformation() { Set(0, 0); }
  DatagramInformation(const DatagramInformation&) = delete;
  DatagramInformation& operator=(const DatagramInformation&) = delete;
  void Set(uint32_t host, uint16_t port) { BuildDatagramInformation(record, port, host); }
  PTDI_CONNECTION_INFORMATION Info() { return reinterpret_cast<PTDI_CONNECTION_INFORMATION>(record); }
  const TDI_ADDRESS_IP& Ip() const {
    return reinterpret_cast<const TA_IP_ADDRESS*>(record + sizeof(TDI_CONNECTION_INFORMATION))->Address[0].Address[0];
  }
  uint32_t Address() const { return NetworkLong(Ip().in_addr); }
  uint16_t Port() const { return NetworkShort(Ip().sin_port); }
};

struct AddressObject {
  HANDLE handle = nullptr;
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

NTSTATUS OpenAddress(std::vector<UCHAR> attribute, AddressObject* object) {
  const NTSTATUS status = OpenTransportAddress(u"\\device\\udp", static_cast<ULONG>(attribute.size()),
                                               attribute.data(), &object->handle, &object->file);
  if (NT_SUCCESS(status)) object->device = IoGetRelatedDeviceObject(object->file);
  return status;
}

// One datagram request in flight, with everything it points at kept alive.
struct Request {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  Bytes buffer;
  DatagramInformation remote;  // send: destination; receive: filter
  DatagramInformation source;  // receive: where the transport writes the source
  PIRP irp = nullptr;
  NTSTATUS dispatchStatus = STATUS_SUCCESS;

  Request(uint32_t address, uint16_t port, Bytes bytes) : buffer(std::move(bytes)) {
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    remote.Set(address, port);
  }
  bool Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&event)) != 0; }
  bool WaitDone() const { return testsupport::WaitUntil([&] { return Done(); }, 3s); }
  Bytes Received() const { return Bytes(buffer.begin(), buffer.begin() + iosb.Information); }
};

// Builds a datagram request as the driver does.
void Prepare(const AddressObject& object, UCHAR minor, Request* r) {
  r->irp = IoBuildDeviceIoControlRequest(3, object.device, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr);
  PMDL mdl = IoAllocateMdl(r->buffer.data(), static_cast<ULONG>(r->buffer.size()), FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = minor;
  next->DeviceObject = object.device;
  next->FileObject = object.file;
  const ULONG length = static_cast<ULONG>(r->buffer.size());
  const TDI_REQUEST_KERNEL_SENDDG send{length, r->remote.Info()};
  const TDI_REQUEST_KERNEL_RECEIVEDG receive{length, r->remote.Info(), r->source.Info(), TDI_RECEIVE_NORMAL};
  if (minor == TDI_SEND_DATAGRAM) std::memcpy(&next->Parameters, &send, sizeof send);
  if (minor == TDI_RECEIVE_DATAGRAM) std::memcpy(&next->Parameters, &receive, sizeof receive);
  r->irp->MdlAddress = mdl;
  r->irp->UserEvent = &r->event;
  r->irp->UserIosb = &r->iosb;
}

// Builds and sends it; returns what IofCallDriver returned.
NTSTATUS Call(const AddressObject& object, UCHAR minor, Request* r) {
  Prepare(object, minor, r);
  return r->dispatchStatus = IofCallDriver(object.device, r->irp);
}

class UdpTransportTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    ASSERT_EQ(host::net::Install(), STATUS_SUCCESS);
    local_ = testsupport::UniqueLoopbackAddress();
    host::net::SetAnyAddress(local_);
    host::net::SetSourceQueueBytes(host::net::kDefaultSourceQueueBytes);
    host::net::ResetCounters();
  }
  void TearDown() override {
    for (AddressObject& object : objects_) Close(object);
    host::net::ClearPortMap();
    EXPECT_EQ(host::net::Uninstall(), STATUS_SUCCESS);
    ManualExecutive::TearDown();
  }
  AddressObject& Open() {
    objects_.emplace_back();
    EXPECT_EQ(OpenAddress(Attribute(), &objects_.back()), STATUS_SUCCESS);
    return objects_.back();
  }
  static void Close(AddressObject& object) {
    if (object.handle != nullptr) ZwClose(object.handle);
    if (object.file != nullptr) ObDereferenceObject(object.file);
    object = AddressObject{};
  }
  static NTSTATUS Send(const AddressObject& object, uint32_t address, uint16_t port, const Bytes& bytes) {
    Request r(address, port, bytes);
    // A send that fails at once leaves its status block and event alone.
    if (!NT_SUCCESS(Call(object, TDI_SEND_DATAGRAM, &r))) return r.dispatchStatus;
    EXPECT_TRUE(r.WaitDone());
    return r.iosb.Status;
  }
  // Starts a receive filtered on (address, port) with room for `length` bytes.
  static std::unique_ptr<Request> StartReceive(const AddressObject& object, uint32_t address, uint16_t port,
                                               size_t length = 512) {
    auto r = std::make_unique<Request>(address, port, Bytes(length, 0xEE));
    Call(object, TDI_RECEIVE_DATAGRAM, r.get());
    return r;
  }
  static bool WaitReceived(size_t datagrams) {
    return host::net::WaitForCounters([&](const host::net::Counters& c) { return c.datagramsReceived >= datagrams; }, 3s);
  }

  uint32_t local_ = 0;
  std::deque<AddressObject> objects_;
};

// The guard refuses every address outside loopback without sending anything. The link port
// mapped elsewhere is the one on the wire, both ways; receives report the driver's port.
// Malformed transport-address attributes are refused at the open.
TEST_F(UdpTransportTest, SendReachesThePeerOnlyInsideLoopbackFromTheRunsAddressOnTheMappedPort) {
  host::net::MapPort(kLinkPort, 6519);
  AddressObject& object = Open();
  EXPECT_TRUE(host::net::LoopbackGuard());
  // 192.168.1.10, 10.0.0.5, 0.0.0.3
  for (uint32_t outside : {0xC0A8010Au, 0x0A000005u, 0x00000003u}) {
    EXPECT_EQ(Send(object, outside, kLinkPort, Text("x")), STATUS_HOST_UNREACHABLE) << std::hex << outside;
  }
  UdpPeer peer(testsupport::UniqueLoopbackAddress(), 6519);
  EXPECT_EQ(Send(object, peer.Address(), kLinkPort, Text("hello")), STATUS_SUCCESS);
  const auto got = peer.Receive(2s);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::tuple(got->bytes, got->address, got->port), std::tuple(Text("hello"), local_, uint16_t{6519}));
  EXPECT_EQ(host::net::GetCounters().datagramsSent, 1u);
  auto r = StartReceive(object, peer.Address(), kLinkPort);
  ASSERT_TRUE(peer.SendTo(local_, 6519, Text("n")));
  ASSERT_TRUE(r->WaitDone());
  EXPECT_EQ(std::pair(r->Received(), r->source.Port()), std::pair(Text("n"), kLinkPort));

  // The value running past the buffer, another attribute name, an address type other than IP.
  const std::pair<void (*)(std::vector<uint8_t>&), NTSTATUS> damages[] = {
      {[](std::vector<uint8_t>& ea) { ea.resize(40); }, STATUS_INVALID_PARAMETER},
      {[](std::vector<uint8_t>& ea) { ea[8] = 't'; }, STATUS_INVALID_PARAMETER},
      {[](std::vector<uint8_t>& ea) { ea[25 + 6] = 17; }, STATUS_INVALID_ADDRESS},
  };
  for (const auto& [damage, status] : damages) {
    std::vector<uint8_t> ea = Attribute();
    damage(ea);
    AddressObject refused;
    EXPECT_EQ(OpenAddress(ea, &refused), status);
  }
  EXPECT_EQ(host::net::GetCounters().addressObjects, 1u) << "the refused ones are not kept";
}

TEST_F(UdpTransportTest, ReceiveCompletesOnlyWithADatagramFromItsFilterOrItsCancellation) {
  AddressObject& object = Open();
  UdpPeer server(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer stranger(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer otherPort(server.Address(), 0);  // the right address, another port
  auto cancelled = StartReceive(object, server.Address(), kLinkPort);
  EXPECT_TRUE(IoCancelIrp(cancelled->irp));
  ASSERT_TRUE(cancelled->WaitDone());
  EXPECT_EQ(cancelled->iosb.Status, STATUS_CANCELLED) << "and the datagrams below are not lost to it";
  auto r = StartReceive(object, server.Address(), kLinkPort);
  EXPECT_EQ(r->dispatchStatus, STATUS_PENDING);
  ASSERT_TRUE(stranger.SendTo(local_, kLinkPort, Text("stranger")));
  ASSERT_TRUE(otherPort.SendTo(local_, kLinkPort, Text("port")));
  ASSERT_TRUE(WaitReceived(2));
  EXPECT_FALSE(r->Done()) << "a datagram from outside the filter does not complete the receive";

  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Bytes(20, 0x5A)));
  ASSERT_TRUE(r->WaitDone());
  EXPECT_EQ(std::tuple(r->iosb.Status, r->Received(), r->source.Address(), r->source.Port()),
            std::tuple(STATUS_SUCCESS, Bytes(20, 0x5A), server.Address(), kLinkPort));

  // What the filter left waiting is there for a receive that matches it.
  auto later = StartReceive(object, stranger.Address(), kLinkPort);
  EXPECT_EQ(std::pair(later->dispatchStatus, later->Received()), std::pair(STATUS_SUCCESS, Text("stranger")));
  auto any = StartReceive(object, 0, 0);
  EXPECT_EQ(std::tuple(any->dispatchStatus, any->Received(), any->source.Port()),
            std::tuple(STATUS_SUCCESS, Text("port"), otherPort.Port()));

  // A longer datagram is cut to the buffer and reported as an overflow, a failed receive.
  auto shortBuffer = StartReceive(object, server.Address(), kLinkPort, 4);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("0123456789")));
  ASSERT_TRUE(shortBuffer->WaitDone());
  EXPECT_EQ(std::pair(shortBuffer->iosb.Status, shortBuffer->Received()), std::pair(STATUS_BUFFER_OVERFLOW, Text("0123")));
}

// Each source's queue keeps its oldest datagrams up to its bound and turns later ones away;
// a filtered receive takes its source's oldest, one without a filter the oldest of all.
TEST_F(UdpTransportTest, EachSourceQueueKeepsItsOldestDatagramsUpToItsBound) {
  host::net::SetSourceQueueBytes(3 * (host::net::kDatagramOverheadBytes + 1));
  AddressObject& object = Open();
  UdpPeer server(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer other(testsupport::UniqueLoopbackAddress(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("0")));
  ASSERT_TRUE(other.SendTo(local_, kLinkPort, Text("x")));
  for (char c = '1'; c <= '4'; ++c) ASSERT_TRUE(server.SendTo(local_, kLinkPort, Bytes{uint8_t(c)}));
  ASSERT_TRUE(WaitReceived(6));
  EXPECT_EQ(std::tuple(host::net::GetCounters().queueDropped, host::net::DroppedFrom(server.Address(), kLinkPort),
                       host::net::DroppedFrom(other.Address(), kLinkPort)), std::tuple(size_t{2}, size_t{2}, size_t{0}));
  const std::pair<uint32_t, const char*> takes[] = {
      {server.Address(), "0"}, {0, "x"}, {0, "1"}, {server.Address(), "2"}};
  for (const auto& [filter, text] : takes) {
    auto r = StartReceive(object, filter, filter == 0 ? 0 : kLinkPort);
    EXPECT_EQ(std::pair(r->dispatchStatus, r->Received()), std::pair(STATUS_SUCCESS, Text(text)));
  }
  auto empty = StartReceive(object, 0, 0);
  EXPECT_EQ(empty->dispatchStatus, STATUS_PENDING);
  Close(object);
  ASSERT_TRUE(empty->WaitDone());
}

// Address objects on one port share its socket. A datagram goes to the newest object with a
// receive waiting for it, or else the newest object holds it. What an object held when it
// closes stays with the port: a waiting receive of another object takes it, or that object
// holds it, in order of arrival with its own. Closing the last handle ends the receives still
// waiting with an error; requests on an object the driver still holds a reference to are
// refused, not sent; the last reference ends it, and the last object its socket.
TEST_F(UdpTransportTest, AddressObjectsOnOnePortShareItEachDatagramGoesToOneAndAClosingOnesStay) {
  AddressObject& older = Open();
  UdpPeer server(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer first(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer second(testsupport::UniqueLoopbackAddress(), kLinkPort);
  ASSERT_TRUE(first.SendTo(local_, kLinkPort, Text("a1")) && second.SendTo(local_, kLinkPort, Text("b1")));
  ASSERT_TRUE(WaitReceived(2));  // the older object, alone, holds them
  AddressObject& newer = Open();
  EXPECT_EQ(std::pair(host::net::GetCounters().sockets, host::net::GetCounters().addressObjects), std::pair(size_t{1}, size_t{2}));

  // Only the older object waits: it takes the datagram.
  auto onOlder = StartReceive(older, server.Address(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("s1")));
  ASSERT_TRUE(onOlder->WaitDone());
  EXPECT_EQ(onOlder->Received(), Text("s1"));

  // Nobody waits: the newest object holds it.
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("s2")) && first.SendTo(local_, kLinkPort, Text("a2")));
  ASSERT_TRUE(WaitReceived(5));
  auto olderAgain = StartReceive(older, server.Address(), kLinkPort);
  EXPECT_EQ(olderAgain->dispatchStatus, STATUS_PENDING);
  auto onNewer = StartReceive(newer, server.Address(), kLinkPort);
  EXPECT_EQ(std::pair(onNewer->dispatchStatus, onNewer->Received()), std::pair(STATUS_SUCCESS, Text("s2")));

  // Both wait: the newest takes it, the other keeps waiting.
  auto newerAgain = StartReceive(newer, server.Address(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("s3")));
  ASSERT_TRUE(newerAgain->WaitDone());
  EXPECT_EQ(newerAgain->Received(), Text("s3"));
  EXPECT_FALSE(olderAgain->Done());

  // The older one closes; the newer one carries on alone on the same socket.
  auto waiting = StartReceive(newer, second.Address(), kLinkPort);
  ASSERT_EQ(waiting->dispatchStatus, STATUS_PENDING);
  Close(older);
  ASSERT_TRUE(olderAgain->WaitDone());
  EXPECT_EQ(std::pair(olderAgain->iosb.Status, olderAgain->iosb.Information), std::pair(STATUS_LOCAL_DISCONNECT, ULONG_PTR{0}));
  EXPECT_TRUE(waiting->WaitDone());
  EXPECT_EQ(std::pair(waiting->iosb.Status, waiting->Received()), std::pair(STATUS_SUCCESS, Text("b1")));
  ASSERT_TRUE(first.SendTo(local_, kLinkPort, Text("a3")) && WaitReceived(7));
  std::vector<std::unique_ptr<Request>> next;
  for (const char* text : {"a1", "a2", "a3"}) {
    next.push_back(StartReceive(newer, first.Address(), kLinkPort));
    EXPECT_EQ(std::pair(next.back()->dispatchStatus, next.back()->Received()), std::pair(STATUS_SUCCESS, Text(text)));
  }
  EXPECT_EQ(host::net::GetCounters().sockets, 1u);

  auto last = StartReceive(newer, 0, 0);
  ZwClose(newer.handle);
  newer.handle = nullptr;
  ASSERT_TRUE(last->WaitDone());
  EXPECT_EQ(last->iosb.Status, STATUS_LOCAL_DISCONNECT);
  EXPECT_EQ(Send(newer, first.Address(), kLinkPort, Text("x")), STATUS_LOCAL_DISCONNECT);
  EXPECT_EQ(StartReceive(newer, 0, 0)->dispatchStatus, STATUS_LOCAL_DISCONNECT);
  Close(newer);
  EXPECT_TRUE(host::net::WaitForCounters(
      [](const host::net::Counters& c) { return c.sockets == 0 && c.addressObjects == 0; }, 3s));
}

TEST_F(UdpTransportTest, RequestsAtDispatchLevelStopTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  AddressObject& object = Open();
  EXPECT_DEATH(
      {
        Request r(0x7F000001, kLinkPort, Text("x"));
        Prepare(object, TDI_SEND_DATAGRAM, &r);
        KfRaiseIrql(DISPATCH_LEVEL);
        IofCallDriver(object.device, r.irp);
      },
      "TRANSPORT_CALL_AT_DISPATCH_LEVEL.*IofCallDriver");
}

}  // namespace
