// Test support for the serial request layer: one port on a device of its own, as device
// creation leaves it (creation values, deferred calls bound, port-table entry), with its rings
// attached and its link open; and requests crafted as the I/O manager builds them, sent to the
// device, whose dispatch routine hands each to the handler the test names (standing where the
// serial dispatchers stand). Completions are recorded in each request, in completion order.
// Works in manual and live mode. At the end, requests still pending are cancelled and every
// request must have been completed exactly once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/serial_requests.h"
#include "support/capture_transport.h"

namespace testsupport {

struct Request {
  PIRP irp = nullptr;
  std::vector<UCHAR> buffer;  // the system buffer
  NTSTATUS dispatchStatus = STATUS_PENDING;
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;  // valid once done
  ULONG_PTR information = 0;
  CCHAR boost = -1;
  int order = -1;  // 0 for the first completion of the bench, then 1, 2...
  std::atomic<int> timesCompleted{0};
  ULONG maskAtCompletion = 0;
  ULONG Mask() const;  // the first 32-bit value of the buffer
  // Nothing of it changed after it went back: its information count and buffer are as they
  // were at completion.
  bool UntouchedSinceCompletion() const;
  std::atomic<int>* completions = nullptr;  // the bench's completion counter
};

// A read class of the tests, on the port's read slot and queue: its start routine leaves each
// read pending (cancellable) until EndPendingRead ends it, as the read path's data call would.
extern const RequestClass PendingReadClass;
NTSTATUS StartPendingRead(PortRecord* port);
// Ends the current read, if one waits, with `status` and starts the next. IRQL <= DISPATCH_LEVEL.
void EndPendingRead(PortRecord* port, NTSTATUS status);
using SerialHandler = std::function<NTSTATUS(PortRecord* port, PIRP irp)>;

// A handler that makes the request its class's current one without starting anything, with
// the given cancel routine: a request some start routine left pending.
SerialHandler ParkAsCurrent(const RequestClass* requestClass, PDRIVER_CANCEL cancel);
// The driver's own handler of a major function.
SerialHandler Through(PDRIVER_DISPATCH dispatch);

// `count` bytes counting up from `first`, wrapping at 256.
std::vector<UCHAR> Ascending(size_t count, UCHAR first = 0);

class SerialBench {
 public:
  // `routines`: the port's deferred routines (the serial layer's table by default).
  explicit SerialBench(const PortDeferredRoutines* routines = &PortDeferredRoutineTable);
  ~SerialBench();
  SerialBench(const SerialBench&) = delete;
  SerialBench& operator=(const SerialBench&) = delete;

  PortRecord* Port() const { return port_; }
  PDEVICE_OBJECT Device() const { return device_; }

  // Crafts a request of the bench (released with it): a read or write of `length` bytes, or a
  // device control with its input (or one 32-bit input value) and its output length.
  Request& Transfer(UCHAR major, ULONG length);
  Request& Control(ULONG code, ULONG value, ULONG inputLength = 4, ULONG outputLength = 0);
  Request& Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
  // Sends it to the device; returns what the dispatch routine returned.
  NTSTATUS Send(Request& request, const SerialHandler& handler);
  // Sends it to be started or queued in its class, as the class's dispatcher does.
  Request& Queue(Request& request, const RequestClass* requestClass, SERIAL_START_ROUTINE* start);
  // Sends a device control answered on the spot by `handler`, completed with IO_NO_INCREMENT
  // as the device-control dispatcher completes it.
  NTSTATUS Answer(Request& request, SERIAL_CONTROL_HANDLER* handler);

  // The control packets queued for the port since the last call, oldest first: type then payload.
  std::vector<std::vector<UCHAR>> TakePackets();
  // A packet from the remote (header of `type` and `sequence`, then the payload), applied to
  // the port as a receiver thread applies it. Deferred calls it queues are left queued.
  void Receive(UCHAR type, ULONG sequence, const std::vector<UCHAR>& payload = {});
  // One sender pass over the port, on a recording transport attached at first use; returns the
  // packets it sent, in order.
  struct Sent {
    UCHAR type;
    LONG sequence;
    std::vector<UCHAR> payload;
  };
  std::vector<Sent> SendPass();
  CaptureTransport& Transport();
  int Completions() const { return completions_.load(); }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  Request& Craft(UCHAR major, size_t bufferBytes);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PortRecord* port_ = nullptr;
  std::vector<UCHAR> txRing_;
  std::vector<UCHAR> rxRing_;
  std::mutex lock_;
  std::vector<std::unique_ptr<Request>> requests_;
  std::atomic<int> completions_{0};
  std::unique_ptr<CaptureTransport> transport_;
};

// Applies a datagram from the remote to a port as a receiver does: under the port's PortLock.
void DispatchAsReceiver(LONG port, const std::vector<UCHAR>& packet);

}  // namespace testsupport
