// Fuzz target: serial requests on an open port, in any order and with any lengths and
// contents: reads and writes, device controls of every serial function code with arbitrary
// input and output lengths and bytes, purges, flushes, cancellations of any request still
// out, and, between them, what the remote and the clock bring (acknowledgements, polls, line
// data sequenced or not, the sender's passes, time passing). Manual mode.
//
// Promises checked: every request completes exactly once, and a cancelled one with 0 bytes;
// a read never reports more than its length, a completed write reports all of its bytes; a
// device control never reports more than its output length; at the end, when every request
// is killed, nothing is left pending and no pool block outstanding. The verifier stops the
// run on anything the platform would stop (a double completion, a lock misuse, a free of a
// foreign block).
//
// Input: operations, each a byte (low 3 bits the kind, the rest its argument) and what the
// kind reads after it.
#include <vector>

#include "fuzz_support.h"
#include "host/ex/pool_control.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "support/serial_bench.h"

namespace {

using testsupport::Request;
using testsupport::SerialBench;

constexpr int kMaxOperations = 96;
constexpr ULONG kLargestTransfer = 4096;
constexpr ULONG kLargestControl = 600;
constexpr LONGLONG kTick = 1000000;  // 100 ms in 100-ns units
const UCHAR kRemoteTypes[] = {PKT_ACK, PKT_SEQDATA, PKT_DATA, PKT_POLL, PKT_DOWN, PKT_CLOSE};

// The driver's own handler of a major function, or null when it keeps the default one.
PDRIVER_DISPATCH HandlerOf(UCHAR major) {
  for (ULONG i = 0; i < SerialHandlerCount; i++) {
    if (SerialHandlerTable[i].MajorFunction == major) return SerialHandlerTable[i].Handler;
  }
  return nullptr;
}

class Session {
 public:
  explicit Session(fuzz::Input& in) : in_(in) { PortTable[0].OutSeq = 1; }

  void Run(uint8_t op) {
    switch (op & 7) {
      case 0: Transfer(IRP_MJ_READ, in_.Word() % (kLargestTransfer + 1)); break;
      case 1: Transfer(IRP_MJ_WRITE, in_.Word() % (kLargestTransfer + 1)); break;
      case 2: Control(0x1B0000 | (ULONG)(op >> 3) << 2); break;
      case 3: Cancel(op >> 3); break;
      case 4: Purge(op >> 3); break;
      case 5: Remote(op >> 3); break;
      case 6: host::session::AdvanceClock((op >> 3) * kTick); break;
      default: (op & 8) ? (void)bench_.SendPass() : Flush(); break;
    }
    host::session::RunQueuedDpcs();
    CheckCompleted();
  }

  // Kills everything still out, as cleanup and then the application's cancellation of an
  // immediate character (which cleanup leaves alone) would, and checks that all of it
  // completed once.
  void Finish() {
    for (const RequestClass* c :
         {&WriteClass, &ReadClass, &PurgeClass, &MaskClass, &WaitClass, &ImmediateClass}) {
      KillAllRequests(bench_.Port(), c);
    }
    host::session::RunQueuedDpcs();
    CheckCompleted();
    for (const Sent& sent : sent_) FUZZ_CHECK(sent.request->done && sent.request->timesCompleted == 1);
  }

 private:
  // Requests are crafted only for the major functions the driver handles: the platform
  // answers the others without it.
  void Send(Request& request, UCHAR major, ULONG length) {
    sent_.push_back({&request, major, length});
    bench_.Send(request, testsupport::Through(HandlerOf(major)));
  }
  void Transfer(UCHAR major, ULONG length) {
    if (HandlerOf(major) == nullptr) return;
    Request& request = bench_.Transfer(major, length);
    auto bytes = in_.Bytes(length);
    std::copy(bytes.begin(), bytes.end(), request.buffer.begin());
    Send(request, major, length);
  }
  void Control(ULONG code) {
    if (HandlerOf(IRP_MJ_DEVICE_CONTROL) == nullptr) return;
    const ULONG inputLength = in_.Word() % (kLargestControl + 1);
    const ULONG outputLength = in_.Word() % (kLargestControl + 1);
    std::vector<uint8_t> input(inputLength);
    auto bytes = in_.Bytes(inputLength);
    std::copy(bytes.begin(), bytes.end(), input.begin());
    Send(bench_.Control(code, input.data(), inputLength, outputLength), IRP_MJ_DEVICE_CONTROL, outputLength);
  }
  void Purge(uint8_t mask) {
    if (HandlerOf(IRP_MJ_DEVICE_CONTROL) == nullptr) return;
    const ULONG value = mask & 0xF;
    Send(bench_.Control(IOCTL_SERIAL_PURGE, &value, sizeof value, 0), IRP_MJ_DEVICE_CONTROL, 0);
  }
  void Flush() {
    if (HandlerOf(IRP_MJ_FLUSH_BUFFERS) != nullptr) Send(bench_.Transfer(IRP_MJ_FLUSH_BUFFERS, 0), IRP_MJ_FLUSH_BUFFERS, 0);
  }
  void Cancel(uint8_t which) {
    if (sent_.empty()) return;
    Request* request = sent_[sent_.size() - 1 - which % sent_.size()].request;
    if (!request->done) IoCancelIrp(request->irp);
  }
  void Remote(uint8_t arg) {
    const UCHAR type = kRemoteTypes[arg % sizeof kRemoteTypes];
    auto payload = in_.Frame(RECEIVE_BUFFER_SIZE - LINK_HEADER_SIZE);
    bench_.Receive(type, in_.Byte() & 15, std::vector<UCHAR>(payload.begin(), payload.end()));
  }

  void CheckCompleted() {
    for (const Sent& sent : sent_) {
      const Request& r = *sent.request;
      if (!r.done) continue;
      FUZZ_CHECK(r.timesCompleted == 1);
      if (r.status == STATUS_CANCELLED) FUZZ_CHECK(r.information == 0);
      if (sent.major != IRP_MJ_WRITE) FUZZ_CHECK(r.information <= sent.length);
      if (sent.major == IRP_MJ_WRITE && r.status == STATUS_SUCCESS) FUZZ_CHECK(r.information == sent.length);
    }
  }

  fuzz::Input& in_;
  SerialBench bench_;
  struct Sent {
    Request* request;
    UCHAR major;
    ULONG length;  // of a transfer, or the output length of a device control
  };
  std::vector<Sent> sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  host::session::StartManual();
  {
    Session session(in);
    for (int i = 0; i < kMaxOperations && !in.AtEnd(); i++) session.Run(in.Byte());
    session.Finish();
  }
  FUZZ_CHECK(host::ex::OutstandingBlocks() == 0);
  host::session::Shutdown();
  return 0;
}
