// A receiver thread whose buffer allocation fails pauses 10 ms before it tries again; over a
// transport whose receives keep failing it reopens the endpoint at once after the first
// failure, then pauses between attempts, 10 ms doubling, until unload cuts the pause short.
// The pauses run on the manual clock.
#include <gtest/gtest.h>

#include <memory>

#include "host/ex/pool_control.h"
#include "host/ke/waiter_count.h"
#include "host/ob/objects.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "link/udp_endpoint.h"
#include "support/capture_transport.h"
#include "support/executive_session.h"

namespace {

using testsupport::kMillisecond;
using testsupport::WaitUntil;

class ReceiverThreadTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    transport_ = std::make_unique<testsupport::CaptureTransport>();
  }
  void TearDown() override {
    transport_.reset();
    host::ex::ClearFailures();
    ManualExecutive::TearDown();
  }
  // The receiver's attempts once it has made at least `atLeast` and sleeps in its pause.
  size_t AttemptsWhenPaused(size_t atLeast) {
    WaitUntil([&] {
      return transport_->Receives().size() >= atLeast && host::ke::WaitersOn(&LinkStopEvent) == 1;
    }, std::chrono::seconds(5));
    return transport_->Receives().size();
  }
  std::unique_ptr<testsupport::CaptureTransport> transport_;
};

TEST_F(ReceiverThreadTest, AFailedBufferOrTransportIsRetriedAfterDoublingPauses) {
  KeInitializeEvent(&LinkStopEvent, NotificationEvent, FALSE);
  InitializeUdpEndpoint();
  ASSERT_EQ(OpenUdpEndpoint(), STATUS_SUCCESS);
  host::ex::FailNthAllocation(1);  // the receiver's first buffer
  HANDLE thread;
  ASSERT_EQ(PsCreateSystemThread(&thread, 0x001F03FF, nullptr, nullptr, nullptr, ReceiverThread,
                                 reinterpret_cast<PVOID>(ULONG_PTR{0x7F000001})),
            STATUS_SUCCESS);
  EXPECT_EQ(AttemptsWhenPaused(0), 0u) << "a buffer not allocated is retried after a pause";
  host::session::AdvanceClock(10 * kMillisecond - 1);
  EXPECT_EQ(AttemptsWhenPaused(0), 0u);
  host::session::AdvanceClock(1);
  EXPECT_EQ(AttemptsWhenPaused(1), 2u) << "the second attempt at once, then a pause";
  EXPECT_EQ(transport_->Opens(), 3);
  const size_t open = host::ob::OpenHandleCount();
  host::session::AdvanceClock(10 * kMillisecond - 1);
  EXPECT_EQ(transport_->Receives().size(), 2u);
  host::session::AdvanceClock(1);
  EXPECT_EQ(AttemptsWhenPaused(3), 3u);
  EXPECT_EQ(host::ob::OpenHandleCount(), open) << "each reopen lets the retired address object go";
  host::session::AdvanceClock(20 * kMillisecond - 1);
  EXPECT_EQ(transport_->Receives().size(), 3u);
  host::session::AdvanceClock(1);
  EXPECT_EQ(AttemptsWhenPaused(4), 4u);

  WriteShared(Unloading, 1);
  KeSetEvent(&LinkStopEvent, 0, FALSE);
  EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(transport_->Receives().size(), 4u) << "unload ends the pause, not the wait's time";
  ZwClose(thread);
  ShutdownUdpEndpoint();
  WriteShared(Unloading, 0);
  EXPECT_EQ(host::ex::OutstandingBlocks(), 0u);
}

}  // namespace
