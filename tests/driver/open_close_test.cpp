// Open, close and cleanup: the handshake with an emulated remote and its waits, measured on
// the manual clock (the handlers' busy-waits move it), the refusals of opens, and the cleanup
// of what an application left.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "host/ex/pool_control.h"
#include "host/io/client.h"
#include "host/session/executive.h"
#include "support/driver_session.h"
#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

constexpr uint8_t kChannel = 2;
constexpr std::chrono::seconds kLimit{5};

// The busy-waits of the handler, and the sender's pauses (its threads share the manual clock).
void ExpectAbout(int64_t elapsed, int64_t handlerWaits) {
  EXPECT_GE(elapsed, handlerWaits);
  EXPECT_LT(elapsed, handlerWaits + 10 * kMillisecond);
}

class OpenCloseTest : public ::testing::Test {
 protected:
  void Start(devserver::ProtocolOptions protocol = {}) {
    devserver::ServerOptions options;
    options.protocol = protocol;
    server_ = &session_.AddServer(options);
    session_.SetValue("MaxPort", 1);
    session_.Bind(1, *server_, kChannel);
    ASSERT_EQ(session_.Load(), STATUS_SUCCESS);
    port_ = PortTable[0].PortRecord;
  }
  bool LinkOpen() const { return (ReadShared(port_->LinkFlags) & LINK_OPEN) != 0; }
  // Opens COM3; once the open's first busy-wait is over, the remote's reply, and the sender's
  // account of the PKT_OPEN it sent, are awaited in real time, as another processor would take
  // them meanwhile (the reply can come before the sender has counted its open sent).
  host::io::OpenResult OpenAnswered() {
    bool waited = false;
    host::session::OnManualStall([&, opener = std::this_thread::get_id()] {
      if (waited || std::this_thread::get_id() != opener) return;
      WaitUntil([&] { return LinkOpen() && ReadShared(PortTable[0].OpensQueued) == 0; }, kLimit);
      waited = true;
    });
    auto opened = host::io::Open("COM3");
    host::session::OnManualStall(nullptr);
    return opened;
  }
  // Dispatches a packet from the remote on this thread, as a receiver does.
  void Inject(UCHAR type, UCHAR sequence, std::vector<uint8_t> payload = {}) {
    payload.insert(payload.begin(), LINK_HEADER_SIZE, 0);
    EncodeLinkHeader(payload.data(), type, kChannel, type == PKT_OPEN ? 3 : payload.size(), sequence);
    DispatchAsReceiver(0, payload);
  }
  // Runs `inject` once on the opener's thread at its first busy-wait, once its PKT_OPEN is out.
  void OnOpenSent(std::function<void()> inject) {
    host::session::OnManualStall([this, inject, done = false, opener = std::this_thread::get_id()]() mutable {
      if (done || std::this_thread::get_id() != opener) return;
      WaitUntil([] { return ReadShared(PortTable[0].OpensQueued) == 0; }, kLimit);
      done = true;
      inject();
    });
  }

  DriverSession session_;
  devserver::DeviceServer* server_ = nullptr;
  PortRecord* port_ = nullptr;
};

// An open waits at least 50 ms for the remote's reply and gives the port its open values.
// A write placed while the remote has the link down then sends nothing (its polls and marks are
// held back), waits, and ends cancelled when the application closes; its chunk stays in the
// ring and is the first data of the next open, numbered from it, acknowledged as any other.
// A close the remote does not answer returns after half a second with the port closed.
TEST_F(OpenCloseTest, ASessionOpensKeepsAChunkPlacedWhileTheLinkIsDownAndEndsOnAnUnansweredClose) {
  Start();
  EXPECT_EQ(host::io::Open("COM3", {.createOptions = FILE_DIRECTORY_FILE}).status, STATUS_NOT_A_DIRECTORY);
  port_->HandFlow[0] = SERIAL_DTR_HANDSHAKE;  // left by an earlier session
  port_->HandFlow[HANDFLOW_REPLACE] = SERIAL_RTS_CONTROL;
  port_->CharsQueued = 3;
  port_->WaitMask = SERIAL_EV_RXCHAR;
  port_->RxAckPending = 1;
  port_->SettingsChars[5] = 7;
  int64_t start = host::session::SystemTime();
  auto opened = OpenAnswered();
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  ExpectAbout(host::session::SystemTime() - start, 50 * kMillisecond);
  EXPECT_EQ(std::tuple(port_->LinkFlags, port_->BaudRate, port_->LineControl, port_->ModemStatus & SERIAL_MSR_DCD,
                       ReadShared(PortTable[0].InSeq), port_->HandFlow[0], port_->HandFlow[HANDFLOW_REPLACE],
                       port_->CharsQueued, port_->WaitMask, port_->RxAckPending, port_->SettingsChars[5]),
            std::tuple(USHORT(LINK_PORT_HELD | LINK_OPEN | LINK_CONFIRMED), 38400u, UCHAR(3), ULONG(SERIAL_MSR_DCD), 9,
                       0u, 0u, 0, 0u, 0u, UCHAR{0}))
      << "InSeq: the reply's sequence";
  auto channel = server_->Channel(kChannel);
  EXPECT_EQ(channel.lastDataSequence, 1) << "PKT_OPEN carries OutSeq 1";
  ASSERT_TRUE(channel.openSettings.has_value());
  EXPECT_EQ(channel.openSettings->raw, (std::array<uint8_t, 18>{0, 0, 0, 0, 0xBF, 0x0C, 0, 0x80}));

  server_->SendDown(kChannel);
  ASSERT_TRUE(WaitUntil([&] { return !LinkOpen(); }, kLimit));
  const uint8_t bytes[] = {'d', 'o', 'w', 'n'};
  {
    auto write = opened.file.WriteAsync(bytes, sizeof bytes);
    host::session::AdvanceClock(20 * kSecond);
    EXPECT_FALSE(write.Done());
    EXPECT_EQ(opened.file.Close(), STATUS_SUCCESS);
    EXPECT_EQ(write.Wait().status, STATUS_CANCELLED);
  }
  EXPECT_TRUE(server_->Written(kChannel).empty());

  port_->TxRingFull = 1;  // as a session whose last write filled the ring leaves it
  auto again = OpenAnswered();
  EXPECT_EQ(port_->TxRingFull, 0);
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  ASSERT_TRUE(server_->WaitForWritten(kChannel, sizeof bytes, kLimit));
  EXPECT_EQ(server_->Written(kChannel), std::vector<uint8_t>(bytes, bytes + sizeof bytes));
  EXPECT_EQ(server_->Channel(kChannel).lastDataSequence, 2);
  ASSERT_TRUE(WaitUntil([&] { host::session::RunQueuedDpcs(); return !ReadShared(port_->WriteInFlight); }, kLimit));
  // A session starts with no event history: a wait for received data waits.
  const ULONG rxchar = SERIAL_EV_RXCHAR;
  ASSERT_EQ(again.file.DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, &rxchar, 4, nullptr, 0).status, STATUS_SUCCESS);
  ULONG events = 0;
  {
    auto wait = again.file.DeviceControlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4);
    host::session::RunQueuedDpcs();
    EXPECT_FALSE(wait.Done());
    wait.Cancel();
    EXPECT_EQ(wait.Wait().status, STATUS_CANCELLED);
  }

  devserver::ProtocolOptions noReply;
  noReply.answerClose = false;
  server_->SetProtocolOptions(noReply);
  port_->Timeouts[TIMEOUT_READ_CONSTANT] = 70;
  EXPECT_EQ(again.file.DeviceControl(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  start = host::session::SystemTime();
  EXPECT_EQ(again.file.Close(), STATUS_SUCCESS);
  ExpectAbout(host::session::SystemTime() - start, 500 * kMillisecond);
  EXPECT_EQ(std::tuple(port_->LinkFlags, port_->Timeouts[TIMEOUT_READ_CONSTANT], port_->ModemStatus,
                       port_->HoldReasons, ReadShared(PortTable[0].OutSeq), ReadShared(PortTable[0].InSeq)),
            std::tuple(0, 0u, 0u, 0u, 0, 0));
  EXPECT_TRUE(server_->WaitForClosed(kChannel, kLimit));
}

TEST_F(OpenCloseTest, ASilentRemoteFailsTheOpenAndALateReplyKeepsOpensRefusedUntilLinkDown) {
  devserver::ProtocolOptions silent;
  silent.answerOpen = silent.answerClose = false;  // no close reply comes late into what follows
  Start(silent);
  int64_t start = host::session::SystemTime();
  EXPECT_EQ(host::io::Open("COM3").status, STATUS_FILES_OPEN);
  ExpectAbout(host::session::SystemTime() - start, 5050 * kMillisecond);

  std::vector<uint8_t> reply(LINK_HEADER_SIZE);
  EncodeLinkHeader(reply.data(), PKT_OPEN, kChannel, 3, 9);
  ASSERT_TRUE(server_->WaitForChannel(kChannel, [](const auto& c) { return c.opens == 1; }, kLimit));
  server_->SendRaw(reply);
  ASSERT_TRUE(WaitUntil([&] { return LinkOpen(); }, kLimit));
  start = host::session::SystemTime();
  EXPECT_EQ(host::io::Open("COM3").status, STATUS_FILES_OPEN);
  ExpectAbout(host::session::SystemTime() - start, 0);  // refused on the spot

  server_->SendDown(kChannel);
  ASSERT_TRUE(WaitUntil([&] { return !LinkOpen(); }, kLimit));
  silent.answerOpen = true;
  server_->SetProtocolOptions(silent);
  EXPECT_EQ(OpenAnswered().status, STATUS_SUCCESS);
  EXPECT_EQ(server_->Channel(kChannel).opens, 2u) << "the refused open sent nothing";

  // A late reply taken while an open is under way but before it has numbered the link afresh
  // (here while it reads the configuration) refuses that open too: an open that went on would
  // expect the remote's data from 1 while the remote numbers it from the reply's 9.
  const auto opener = std::this_thread::get_id();
  bool injected = false;
  host::ex::FailWhen([&](POOL_TYPE type, SIZE_T, ULONG tag) {
    if (injected || type != PagedPool || tag != POOL_TAG || std::this_thread::get_id() != opener) {
      return false;
    }
    injected = true;
    Inject(PKT_OPEN, 9);
    return false;
  });
  OnOpenSent([] {});  // were the open to go on, its PKT_OPEN goes out first, in real time
  EXPECT_EQ(host::io::Open("COM3").status, STATUS_FILES_OPEN);
  host::session::OnManualStall(nullptr);
  host::ex::ClearFailures();
  EXPECT_TRUE(injected);
}

// Replies do not say which PKT_OPEN they answer, and the remote numbers its data afresh at each
// one it takes. A reply late from an open that gave up, taken once the next open's PKT_OPEN is
// out, leaves that open waiting for its own, and the data numbered before it is not taken. When
// the earlier PKT_OPEN went unanswered for good, the open the remote answered opens at the end of
// its wait.
TEST_F(OpenCloseTest, AnOpenTakesOnlyTheDataNumberedAfterItsOwnReply) {
  Start();
  auto first = OpenAnswered();  // attaches the rings
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  devserver::ProtocolOptions silent;
  silent.answerOpen = silent.answerClose = false;  // nothing answered, so nothing comes late
  server_->SetProtocolOptions(silent);
  first.file.Close();
  for (bool lateReply : {true, false}) {
    SCOPED_TRACE(lateReply ? "late reply" : "lost reply");
    EXPECT_EQ(host::io::Open("COM3").status, STATUS_FILES_OPEN);
    OnOpenSent([&] {
      Inject(PKT_OPEN, 9);
      Inject(PKT_SEQDATA, 10, {'o', 'l', 'd'});
      if (lateReply) Inject(PKT_OPEN, 9);
    });
    const int64_t start = host::session::SystemTime();
    auto opened = host::io::Open("COM3");
    host::session::OnManualStall(nullptr);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    ExpectAbout(host::session::SystemTime() - start, (lateReply ? 50 : 5050) * kMillisecond);
    Inject(PKT_SEQDATA, 10, {'n', 'e', 'w'});
    std::array<char, 3> read{};
    EXPECT_EQ(opened.file.Read(read.data(), 3).information, 3u);
    EXPECT_EQ(std::string(read.data(), 3), "new");
  }
}

class CleanupTest : public ManualExecutive {};

TEST_F(CleanupTest, CancelsTheReadsTheWriteAndTheWaitBeforeItCompletes) {
  SerialBench bench;
  PortTable[0].OutSeq = 1;
  std::vector<Request*> left;
  for (auto [major, dispatch] : {std::pair<UCHAR, PDRIVER_DISPATCH>{IRP_MJ_READ, DispatchRead},
                                 {IRP_MJ_READ, DispatchRead}, {IRP_MJ_WRITE, DispatchWrite}}) {
    left.push_back(&bench.Transfer(major, 10));
    bench.Send(*left.back(), Through(dispatch));
  }
  host::session::RunQueuedDpcs();
  bench.Port()->WaitMask = SERIAL_EV_RXCHAR;
  left.push_back(&bench.Queue(bench.Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4), &MaskClass, StartMask));
  for (Request* request : left) EXPECT_FALSE(request->done);

  Request& cleanup = bench.Transfer(IRP_MJ_CLEANUP, 0);
  EXPECT_EQ(bench.Send(cleanup, Through(DispatchCleanup)), STATUS_SUCCESS);
  EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
  for (Request* request : left) {
    EXPECT_EQ(std::pair(request->status, request->information), std::pair(STATUS_CANCELLED, ULONG_PTR{0}));
    EXPECT_LT(request->order, cleanup.order);
  }
}

}  // namespace
