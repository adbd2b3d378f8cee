// Test support: a recording transport that stands where "\device\udp" stands. It keeps every
// datagram request the driver builds (parameters and the bytes of its remote address record)
// without sending anything, and answers receives from datagrams the test queues beforehand.
// Every accessor may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "kernel.h"

namespace testsupport {

struct CapturedRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG length = 0;                 // SendLength or ReceiveLength
  ULONG receiveFlags = 0;
  std::vector<uint8_t> remote;      // the 22 bytes of the request's (filter) TA_IP_ADDRESS
  std::vector<uint8_t> data;        // bytes sent
  PFILE_OBJECT fileObject = nullptr;
};

class CaptureTransport {
 public:
  // Creates the host driver and its device "\Device\CaptureUdp" and points the link's
  // endpoint at it.
  CaptureTransport();
  ~CaptureTransport();

  static constexpr const char16_t* kDeviceName = u"\\Device\\CaptureUdp";

  std::vector<CapturedRequest> Sent() { std::lock_guard guard(lock_); return sent_; }
  std::vector<CapturedRequest> Receives() { std::lock_guard guard(lock_); return receives_; }
  void ClearSent() { std::lock_guard guard(lock_); sent_.clear(); }
  // The next receive completes at once with this datagram (from `source`, host order), with
  // STATUS_BUFFER_OVERFLOW and the bytes that fit when it is longer than the receive; without
  // one it fails.
  void QueueDatagram(uint32_t source, std::vector<uint8_t> bytes) {
    std::lock_guard guard(lock_);
    datagrams_.emplace_back(source, std::move(bytes));
  }
  // Sends fail with this status from now on (STATUS_SUCCESS to send normally).
  void FailSends(NTSTATUS status) { std::lock_guard guard(lock_); sendStatus_ = status; }
  // Runs `hook` in the sending thread after each send is recorded, before the sender goes on.
  void AfterEachSend(std::function<void()> hook) { afterSend_ = std::move(hook); }
  int Opens() { std::lock_guard guard(lock_); return opens_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS Handle(PIRP irp);
  NTSTATUS Receive(PIRP irp, PIO_STACK_LOCATION location, uint8_t* buffer);  // under lock_

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::mutex lock_;
  std::vector<CapturedRequest> sent_;
  std::vector<CapturedRequest> receives_;
  std::deque<std::pair<uint32_t, std::vector<uint8_t>>> datagrams_;
  NTSTATUS sendStatus_ = STATUS_SUCCESS;
  int opens_ = 0;
  std::function<void()> afterSend_;
  PCWSTR previousDevice_ = nullptr;
};

// Decodes the four address bytes (network order) and port of a captured TA_IP_ADDRESS.
uint32_t CapturedAddress(const CapturedRequest& request);
uint16_t CapturedPort(const CapturedRequest& request);

}  // namespace testsupport
