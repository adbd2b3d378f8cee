// The host's UDP transport behind "\device\udp", driven with hand-built requests the way the
// driver builds them (ZwCreateFile with the 52-byte transport-address attribute, internal
// device-control requests with an MDL and the next stack location filled), against plain
// POSIX sockets on loopback addresses of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/net/udp_transport.h"
#include "host/session/executive.h"
#include "kernel.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testsupport::UdpPeer;

constexpr uint16_t kLinkPort = 519;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void FillIpAddress(TA_IP_ADDRESS* ta, uint32_t address, uint16_t port) {
  std::memset(ta, 0, sizeof *ta);
  ta->TAAddressCount = 1;
  ta->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
  ta->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
  auto* ip = reinterpret_cast<uint8_t*>(&ta->Address[0].Address[0]);
  const uint8_t bytes[6] = {uint8_t(port >> 8), uint8_t(port),          uint8_t(address >> 24),
                            uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
  std::memcpy(ip, bytes, sizeof bytes);
}

// The open attribute as the driver lays it out: 52 bytes, the value at offset 25.
std::vector<uint8_t> OpenAttribute(uint32_t address, uint16_t port) {
  std::vector<uint8_t> ea(52, 0);
  ea[5] = TDI_TRANSPORT_ADDRESS_LENGTH;
  ea[6] = sizeof(TA_IP_ADDRESS);
  std::memcpy(&ea[8], TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH + 1);
  TA_IP_ADDRESS ta;
  FillIpAddress(&ta, address, port);
  std::memcpy(&ea[25], &ta, sizeof ta);
  return ea;
}

// A datagram information record with its transport address right behind it.
// It points into itself, so it is filled in place and never copied.
struct DatagramInformation {
  TDI_CONNECTION_INFORMATION info;
  TA_IP_ADDRESS address;
  DatagramInformation() { Set(0, 0); }
  DatagramInformation(const DatagramInformation&) = delete;
  DatagramInformation& operator=(const DatagramInformation&) = delete;
  void Set(uint32_t host, uint16_t port) {
    std::memset(&info, 0, sizeof info);
    FillIpAddress(&address, host, port);
    info.RemoteAddressLength = sizeof(TA_IP_ADDRESS);
    info.RemoteAddress = &address;
  }
  const uint8_t* Ip() const { return reinterpret_cast<const uint8_t*>(&address.Address[0].Address[0]); }
  uint32_t Address() const { return (uint32_t{Ip()[2]} << 24) | (Ip()[3] << 16) | (Ip()[4] << 8) | Ip()[5]; }
  uint16_t Port() const { return static_cast<uint16_t>((Ip()[0] << 8) | Ip()[1]); }
};

struct AddressObject {
  HANDLE handle = nullptr;
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

NTSTATUS OpenAddress(const std::vector<uint8_t>& ea, AddressObject* object) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\device\\udp");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = ZwCreateFile(&object->handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb,
                                 nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF, 0, const_cast<uint8_t*>(ea.data()),
                                 static_cast<ULONG>(ea.size()));
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(object->handle, GENERIC_READ | GENERIC_WRITE, nullptr,
                                     KernelMode, reinterpret_cast<PVOID*>(&object->file), nullptr);
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

  Request() { KeInitializeEvent(&event, SynchronizationEvent, FALSE); }
  bool Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&event)) != 0; }
  bool WaitDone() const { return testsupport::WaitUntil([&] { return Done(); }, 3s); }
  Bytes Received() const { return Bytes(buffer.begin(), buffer.begin() + iosb.Information); }
};

// Builds a datagram request as the driver does.
void Prepare(const AddressObject& object, UCHAR minor, Request* r) {
  r->irp = IoBuildDeviceIoControlRequest(3, object.device, nullptr, 0, nullptr, 0, TRUE, nullptr,
                                         nullptr);
  PMDL mdl = IoAllocateMdl(r->buffer.data(), static_cast<ULONG>(r->buffer.size()), FALSE, FALSE,
                           nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->MinorFunction = minor;
  next->Control = 0;
  next->CompletionRoutine = nullptr;
  next->DeviceObject = object.device;
  next->FileObject = object.file;
  if (minor == TDI_SEND_DATAGRAM) {
    TDI_REQUEST_KERNEL_SENDDG p{static_cast<ULONG>(r->buffer.size()), &r->remote.info};
    std::memcpy(&next->Parameters, &p, sizeof p);
  } else {
    TDI_REQUEST_KERNEL_RECEIVEDG p{static_cast<ULONG>(r->buffer.size()), &r->remote.info,
                                   &r->source.info, TDI_RECEIVE_NORMAL};
    std::memcpy(&next->Parameters, &p, sizeof p);
  }
  r->irp->MdlAddress = mdl;
  r->irp->UserEvent = &r->event;
  r->irp->UserIosb = &r->iosb;
}

// Builds and sends it; returns what IofCallDriver returned.
NTSTATUS Call(const AddressObject& object, UCHAR minor, Request* r) {
  Prepare(object, minor, r);
  r->dispatchStatus = IofCallDriver(object.device, r->irp);
  return r->dispatchStatus;
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
  AddressObject& Open(uint32_t address = 0, uint16_t port = kLinkPort) {
    objects_.emplace_back();
    EXPECT_EQ(OpenAddress(OpenAttribute(address, port), &objects_.back()), STATUS_SUCCESS);
    return objects_.back();
  }
  static void Close(AddressObject& object) {
    if (object.handle != nullptr) ZwClose(object.handle);
    if (object.file != nullptr) ObDereferenceObject(object.file);
    object = AddressObject{};
  }
  static NTSTATUS Send(const AddressObject& object, uint32_t address, uint16_t port,
                       const Bytes& bytes) {
    Request r;
    r.buffer = bytes;
    r.remote.Set(address, port);
    // A send that fails at once leaves its status block and event alone.
    NTSTATUS status = Call(object, TDI_SEND_DATAGRAM, &r);
    if (!NT_SUCCESS(status)) return status;
    EXPECT_TRUE(r.WaitDone());
    return r.iosb.Status;
  }
  // Starts a receive filtered on (address, port) with room for `length` bytes.
  static std::unique_ptr<Request> StartReceive(const AddressObject& object, uint32_t address,
                                               uint16_t port, size_t length = 512) {
    auto r = std::make_unique<Request>();
    r->buffer.assign(length, 0xEE);
    r->remote.Set(address, port);
    Call(object, TDI_RECEIVE_DATAGRAM, r.get());
    return r;
  }
  static bool WaitReceived(size_t datagrams) {
    return host::net::WaitForCounters(
        [&](const host::net::Counters& c) { return c.datagramsReceived >= datagrams; }, 3s);
  }

  uint32_t local_ = 0;
  std::deque<AddressObject> objects_;
};

// The guard refuses every address outside loopback without sending anything.
TEST_F(UdpTransportTest, SendReachesThePeerFromTheAnyAddressChosenForTheRunAndOnlyInsideLoopback) {
  AddressObject& object = Open(0, kLinkPort);
  EXPECT_TRUE(host::net::LoopbackGuard());
  // 192.168.1.10, 10.0.0.5, 0.0.0.3
  for (uint32_t outside : {0xC0A8010Au, 0x0A000005u, 0x00000003u}) {
    EXPECT_EQ(Send(object, outside, kLinkPort, Text("x")), STATUS_HOST_UNREACHABLE) << std::hex << outside;
  }
  EXPECT_EQ(host::net::GetCounters().refusedByGuard, 3u);
  UdpPeer peer(testsupport::UniqueLoopbackAddress(), kLinkPort);
  ASSERT_TRUE(peer.Bound());
  EXPECT_EQ(Send(object, peer.Address(), kLinkPort, Text("hello")), STATUS_SUCCESS);
  const auto got = peer.Receive(2s);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::tuple(got->bytes, got->address, got->port), std::tuple(Text("hello"), local_, kLinkPort));
  EXPECT_EQ(host::net::GetCounters().datagramsSent, 1u);
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
  EXPECT_EQ(host::net::GetCounters().pendingReceives, 1u);

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
  EXPECT_EQ(host::net::GetCounters().truncated, 1u);
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
  EXPECT_EQ(host::net::GetCounters().queueDropped, 2u);
  EXPECT_EQ(host::net::DroppedFrom(server.Address(), kLinkPort), 2u);
  EXPECT_EQ(host::net::DroppedFrom(other.Address(), kLinkPort), 0u);
  const std::pair<uint32_t, const char*> takes[] = {
      {server.Address(), "0"}, {0, "x"}, {0, "1"}, {server.Address(), "2"}};
  for (const auto& [filter, text] : takes) {
    auto r = StartReceive(object, filter, filter == 0 ? 0 : kLinkPort);
    EXPECT_EQ(std::pair(r->dispatchStatus, r->Received()), std::pair(STATUS_SUCCESS, Text(text)));
  }
  auto empty = StartReceive(object, 0, 0);
  EXPECT_EQ(empty->dispatchStatus, STATUS_PENDING);
  ZwClose(objects_.back().handle);
  objects_.back().handle = nullptr;
  ASSERT_TRUE(empty->WaitDone());
}

// One source floods while another's datagrams keep arriving, each taken by a receive posted
// again after the one before completed: the flood fills only its own source's queue, and the
// other source loses nothing. The sender keeps no more in the kernel's buffer than a default
// one holds, so that what is dropped is the transport's choice.
TEST_F(UdpTransportTest, AFloodingSourceLosesItsOwnDatagramsAndNoOtherSources) {
  AddressObject& object = Open();
  UdpPeer flooder(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer steady(testsupport::UniqueLoopbackAddress(), kLinkPort);
  constexpr int kSteady = 100;
  constexpr int kFloodEach = 50;  // flood datagrams before each steady one
  constexpr size_t kInKernel = 200;
  std::thread sender([&] {
    for (int i = 0; i < kSteady; i++) {
      for (int f = 0; f < kFloodEach; f++) flooder.SendTo(local_, kLinkPort, Bytes(64, 0xF1));
      steady.SendTo(local_, kLinkPort, Bytes{uint8_t(i)});
      const size_t sent = static_cast<size_t>(i + 1) * (kFloodEach + 1);
      if (sent > kInKernel && !WaitReceived(sent - kInKernel)) return;
    }
  });
  int received = 0;
  for (; received < kSteady; received++) {
    auto r = StartReceive(object, steady.Address(), kLinkPort);
    const bool done = r->WaitDone();
    if (!done && IoCancelIrp(r->irp)) r->WaitDone();
    if (!done || r->Received() != Bytes{uint8_t(received)}) break;
  }
  sender.join();
  EXPECT_EQ(received, kSteady) << "the steady source lost a datagram";
  const host::net::Counters counts = host::net::GetCounters();
  EXPECT_EQ(host::net::DroppedFrom(steady.Address(), kLinkPort), 0u);
  EXPECT_GT(counts.queueDropped, 0u);
  EXPECT_EQ(host::net::DroppedFrom(flooder.Address(), kLinkPort), counts.queueDropped);
  EXPECT_EQ(counts.kernelDropped, 0u);
}

TEST_F(UdpTransportTest, ClosingTheLastHandleEndsPendingReceivesWithAnError) {
  AddressObject& object = Open();
  auto first = StartReceive(object, 0x7F000001, kLinkPort);
  auto second = StartReceive(object, 0x7F000002, kLinkPort);
  ASSERT_EQ(host::net::GetCounters().pendingReceives, 2u);
  ZwClose(object.handle);
  object.handle = nullptr;
  for (auto* r : {first.get(), second.get()}) {
    ASSERT_TRUE(r->WaitDone());
    EXPECT_EQ(std::pair(r->iosb.Status, r->iosb.Information), std::pair(STATUS_LOCAL_DISCONNECT, ULONG_PTR{0}));
  }
  // The driver still holds a reference: requests on the object are refused, not sent.
  EXPECT_EQ(Send(object, 0x7F000001, kLinkPort, Text("x")), STATUS_LOCAL_DISCONNECT);
  auto late = StartReceive(object, 0, 0);
  EXPECT_EQ(late->dispatchStatus, STATUS_LOCAL_DISCONNECT);
  ObDereferenceObject(object.file);
  object.file = nullptr;
  EXPECT_TRUE(host::net::WaitForCounters(
      [](const host::net::Counters& c) { return c.sockets == 0 && c.addressObjects == 0; }, 3s));
}

TEST_F(UdpTransportTest, CloseAndLastDereferenceOnTwoThreadsEndTheAddressObjectOnce) {
  for (int round = 0; round < 200; ++round) {
    AddressObject object;
    ASSERT_EQ(OpenAddress(OpenAttribute(0, kLinkPort), &object), STATUS_SUCCESS);
    auto pending = StartReceive(object, 0, 0);
    std::latch start(2);
    std::thread closer([&] {
      start.arrive_and_wait();
      ZwClose(object.handle);
    });
    std::thread holder([&] {
      start.arrive_and_wait();
      ObDereferenceObject(object.file);
    });
    closer.join();
    holder.join();
    ASSERT_TRUE(pending->WaitDone()) << "round " << round;
    EXPECT_EQ(pending->iosb.Status, STATUS_LOCAL_DISCONNECT);
    ASSERT_TRUE(host::net::WaitForCounters(
        [](const host::net::Counters& c) { return c.sockets == 0 && c.addressObjects == 0; }, 3s))
        << "round " << round;
  }
}

TEST_F(UdpTransportTest, AddressObjectsOnOnePortShareItAndEachDatagramGoesToOne) {
  AddressObject& older = Open();
  AddressObject& newer = Open();
  EXPECT_EQ(std::pair(host::net::GetCounters().sockets, host::net::GetCounters().addressObjects), std::pair(size_t{1}, size_t{2}));
  UdpPeer server(testsupport::UniqueLoopbackAddress(), kLinkPort);

  // Only the older object waits: it takes the datagram.
  auto onOlder = StartReceive(older, server.Address(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("a")));
  ASSERT_TRUE(onOlder->WaitDone());
  EXPECT_EQ(onOlder->Received(), Text("a"));

  // Nobody waits: the newest object holds it.
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("b")));
  ASSERT_TRUE(WaitReceived(2));
  auto olderAgain = StartReceive(older, server.Address(), kLinkPort);
  EXPECT_EQ(olderAgain->dispatchStatus, STATUS_PENDING);
  auto onNewer = StartReceive(newer, server.Address(), kLinkPort);
  EXPECT_EQ(std::pair(onNewer->dispatchStatus, onNewer->Received()), std::pair(STATUS_SUCCESS, Text("b")));

  // Both wait: the newest takes it, the other keeps waiting.
  auto newerAgain = StartReceive(newer, server.Address(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("c")));
  ASSERT_TRUE(newerAgain->WaitDone());
  EXPECT_EQ(newerAgain->Received(), Text("c"));
  EXPECT_FALSE(olderAgain->Done());

  // The newer one closed, the older one carries on alone on the same socket.
  Close(newer);
  ASSERT_TRUE(server.SendTo(local_, kLinkPort, Text("d")));
  ASSERT_TRUE(olderAgain->WaitDone());
  EXPECT_EQ(olderAgain->Received(), Text("d"));
  EXPECT_EQ(host::net::GetCounters().sockets, 1u);
}

// What an address object still held when it closes stays with its port: a pending receive of
// another object there takes it, or that object holds it, in order of arrival with its own.
TEST_F(UdpTransportTest, ClosingAnAddressObjectHandsWhatItHeldToTheOthersOnItsPort) {
  AddressObject& older = Open();
  UdpPeer first(testsupport::UniqueLoopbackAddress(), kLinkPort);
  UdpPeer second(testsupport::UniqueLoopbackAddress(), kLinkPort);
  ASSERT_TRUE(first.SendTo(local_, kLinkPort, Text("a1")));
  ASSERT_TRUE(second.SendTo(local_, kLinkPort, Text("b1")));
  ASSERT_TRUE(WaitReceived(2));
  AddressObject& newer = Open();
  auto waiting = StartReceive(newer, second.Address(), kLinkPort);
  ASSERT_EQ(waiting->dispatchStatus, STATUS_PENDING);
  ASSERT_TRUE(first.SendTo(local_, kLinkPort, Text("a2")));
  ASSERT_TRUE(WaitReceived(3));

  Close(older);
  EXPECT_TRUE(waiting->WaitDone());
  EXPECT_EQ(std::pair(waiting->iosb.Status, waiting->Received()), std::pair(STATUS_SUCCESS, Text("b1")));
  std::vector<std::unique_ptr<Request>> next;
  for (const char* text : {"a1", "a2"}) {
    next.push_back(StartReceive(newer, first.Address(), kLinkPort));
    EXPECT_EQ(std::pair(next.back()->dispatchStatus, next.back()->Received()), std::pair(STATUS_SUCCESS, Text(text)));
  }
  Close(newer);  // ends whatever still waits before the requests go
}

TEST_F(UdpTransportTest, PortMappingMovesTheLinkPortOnTheWire) {
  host::net::MapPort(kLinkPort, 6519);
  AddressObject& object = Open();
  UdpPeer server(testsupport::UniqueLoopbackAddress(), 6519);
  EXPECT_EQ(Send(object, server.Address(), kLinkPort, Text("m")), STATUS_SUCCESS);
  const auto got = server.Receive(2s);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->port, 6519) << "bound on the mapped port";
  auto r = StartReceive(object, server.Address(), kLinkPort);
  ASSERT_TRUE(server.SendTo(local_, 6519, Text("n")));
  ASSERT_TRUE(r->WaitDone());
  EXPECT_EQ(std::pair(r->Received(), r->source.Port()), std::pair(Text("n"), kLinkPort))
      << "the source is reported as the driver's port";
}

TEST_F(UdpTransportTest, MalformedTransportAddressAttributesAreRefused) {
  // The value running past the buffer, another attribute name, an address type other than IP.
  const std::pair<void (*)(std::vector<uint8_t>&), NTSTATUS> damages[] = {
      {[](std::vector<uint8_t>& ea) { ea.resize(40); }, STATUS_INVALID_PARAMETER},
      {[](std::vector<uint8_t>& ea) { ea[8] = 't'; }, STATUS_INVALID_PARAMETER},
      {[](std::vector<uint8_t>& ea) { ea[25 + 6] = 17; }, STATUS_INVALID_ADDRESS},
  };
  for (const auto& [damage, status] : damages) {
    std::vector<uint8_t> ea = OpenAttribute(0, kLinkPort);
    damage(ea);
    AddressObject object;
    EXPECT_EQ(OpenAddress(ea, &object), status);
  }
  EXPECT_EQ(host::net::GetCounters().addressObjects, 0u);
}

TEST_F(UdpTransportTest, RequestsAtDispatchLevelStopTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  AddressObject& object = Open();
  EXPECT_DEATH(
      {
        Request r;
        r.buffer = Text("x");
        r.remote.Set(0x7F000001, kLinkPort);
        Prepare(object, TDI_SEND_DATAGRAM, &r);
        KfRaiseIrql(DISPATCH_LEVEL);
        IofCallDriver(object.device, r.irp);
      },
      "TRANSPORT_CALL_AT_DISPATCH_LEVEL.*IofCallDriver");
}

}  // namespace
