// The UDP endpoint's requests as the transport receives them: the open attribute, the remote
// address records of sends and receives, and the failure statuses. Addresses outside the
// machine are only ever checked on the recorded request: nothing is sent anywhere.
#include <gtest/gtest.h>

#include <vector>

#include "host/ex/pool_control.h"
#include "host/io/io_manager.h"
#include "host/session/executive.h"
#include "link/udp_endpoint.h"
#include "support/capture_transport.h"
#include "support/executive_session.h"
#include "support/tiny_driver.h"

using namespace testsupport;

namespace {

class UdpEndpointTest : public ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    transport_ = std::make_unique<CaptureTransport>();
    BuildEndpointAttribute(attribute_.data(), LINK_PORT, 0);
    ASSERT_TRUE(NT_SUCCESS(OpenTransportAddress(CaptureTransport::kDeviceName, ENDPOINT_ATTRIBUTE_SIZE,
                                                attribute_.data(), &handle_, &object_)));
  }
  void TearDown() override {
    ZwClose(handle_);
    ObDereferenceObject(object_);
    transport_.reset();
    host::ex::ClearFailures();
    host::io::ClearFailures();
    EXPECT_EQ(host::ex::OutstandingBlocks(), 0u);
    ManualExecutive::TearDown();
  }
  std::vector<UCHAR> attribute_ = std::vector<UCHAR>(ENDPOINT_ATTRIBUTE_SIZE, 0);
  std::unique_ptr<CaptureTransport> transport_;
  HANDLE handle_ = nullptr;
  PFILE_OBJECT object_ = nullptr;
};

TEST_F(UdpEndpointTest, OpenAttributeCarriesPort519AndAnyAddress) {
  std::vector<UCHAR> expected = {0, 0, 0, 0, 0, 16, 22, 0};
  for (char c : std::string("TransportAddress")) expected.push_back(static_cast<UCHAR>(c));
  expected.push_back(0);
  // TA_IP_ADDRESS: count 1, length 14, type 2, port 02 07, address 0, eight zeros.
  for (int b : {1, 0, 0, 0, 14, 0, 2, 0, 0x02, 0x07, 0, 0, 0, 0}) expected.push_back(static_cast<UCHAR>(b));
  expected.resize(ENDPOINT_ATTRIBUTE_SIZE, 0);
  EXPECT_EQ(attribute_, expected);
  EXPECT_EQ(transport_->Opens(), 1);
}

TEST_F(UdpEndpointTest, SendPutsTheRemoteInNetworkOrder) {
  auto* datagram = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 6, POOL_TAG));
  const UCHAR bytes[6] = {PKT_BREAK_ON, 1, 4, 0, 0xEE, 0xEE};
  std::copy(bytes, bytes + 6, datagram);
  EXPECT_EQ(SendDatagram(object_, LINK_PORT, 0xC0A8010A, datagram, 4), STATUS_SUCCESS);
  ExFreePool(datagram);
  auto sent = transport_->Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::tuple(sent[0].major, sent[0].minor, sent[0].fileObject, sent[0].length),
            std::tuple(UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL), UCHAR(TDI_SEND_DATAGRAM), object_, 4u));
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{PKT_BREAK_ON, 1, 4, 0}));
  ASSERT_EQ(sent[0].remote.size(), 22u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].remote.begin() + 8, sent[0].remote.begin() + 14),
            (std::vector<uint8_t>{0x02, 0x07, 0xC0, 0xA8, 0x01, 0x0A}));
}

TEST_F(UdpEndpointTest, ReceiveFiltersOnTheServerAndReturnsItsSource) {
  std::vector<uint8_t> twenty(20, 0x5A);
  transport_->QueueDatagram(0x0A000005, twenty);
  UCHAR buffer[512] = {};
  ULONG length = sizeof buffer, source = 0;
  EXPECT_EQ(ReceiveDatagram(object_, LINK_PORT, &source, buffer, &length, 0x0A000005), STATUS_SUCCESS);
  EXPECT_EQ(std::pair(length, source), std::pair(20u, 0x0A000005u));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 20), twenty);
  auto receives = transport_->Receives();
  ASSERT_EQ(receives.size(), 1u);
  EXPECT_EQ(std::tuple(receives[0].minor, receives[0].length, receives[0].receiveFlags, CapturedAddress(receives[0]),
                       CapturedPort(receives[0])),
            std::tuple(UCHAR(TDI_RECEIVE_DATAGRAM), 512u, ULONG(TDI_RECEIVE_NORMAL), 0x0A000005u, uint16_t(519)));
}

// The transport fails a request at once: its status block stays as it was (here a stale
// success), and the status is the one IofCallDriver returned.
TEST_F(UdpEndpointTest, ARequestFailedAtOnceGivesTheStatusTheTransportReturned) {
  TinyDriver failing(u"\\Driver\\Failing");
  PDEVICE_OBJECT device = failing.AddDevice(u"\\Device\\Failing");
  failing.On(IRP_MJ_INTERNAL_DEVICE_CONTROL,
             [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_HOST_UNREACHABLE); });
  PIRP irp = IoBuildDeviceIoControlRequest(3, device, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr);
  IO_STATUS_BLOCK stale{{STATUS_SUCCESS}, 20};
  EXPECT_EQ(CallTransport(irp, device, &stale), STATUS_HOST_UNREACHABLE);
}

// Without an address object nothing is sent or waited for; a failed receive leaves the
// caller's length, source and buffer alone.
TEST_F(UdpEndpointTest, FailedOrImpossibleRequestsLeaveTheCallersBuffersAlone) {
  UCHAR buffer[4] = {1, 2, 3, 4};
  ULONG length = sizeof buffer, source = 77;
  EXPECT_EQ(SendDatagram(nullptr, LINK_PORT, 0x7F000001, buffer, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReceiveDatagram(nullptr, LINK_PORT, &source, buffer, &length, 0x7F000001), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(transport_->Sent().empty() && transport_->Receives().empty());
  EXPECT_EQ(ReceiveDatagram(object_, LINK_PORT, &source, buffer, &length, 0x7F000001),
            STATUS_CONNECTION_RESET);
  EXPECT_EQ(std::tuple(length, source, buffer[0]), std::tuple(4u, 77u, UCHAR(1)));
}

TEST_F(UdpEndpointTest, ResourceFailuresReportTheirStatusAndLeakNothing) {
  UCHAR buffer[4] = {};
  host::ex::FailNthAllocation(1);  // the datagram information record
  EXPECT_EQ(SendDatagram(object_, LINK_PORT, 0x7F000001, buffer, 4), STATUS_INVALID_PARAMETER);
  host::io::FailNthIrpAllocation(1);
  EXPECT_EQ(SendDatagram(object_, LINK_PORT, 0x7F000001, buffer, 4), STATUS_INSUFFICIENT_RESOURCES);
  host::io::FailNthMdlAllocation(1);
  EXPECT_EQ(SendDatagram(object_, LINK_PORT, 0x7F000001, buffer, 4), STATUS_INVALID_PARAMETER);
  ULONG length = sizeof buffer, source = 0;
  host::ex::FailNthAllocation(2);  // the intermediate buffer
  EXPECT_EQ(ReceiveDatagram(object_, LINK_PORT, &source, buffer, &length, 0x7F000001), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(transport_->Sent().empty());
  EXPECT_EQ(std::pair(host::io::OutstandingIrps(), host::io::OutstandingMdls()), std::pair(size_t{0}, size_t{0}));
}

}  // namespace
