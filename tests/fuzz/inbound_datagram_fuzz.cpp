// Fuzz target: datagrams from the remote servers as a receiver thread delivers them, to ports
// in every state of their link: never opened, closed, opening, open (with or without a chunk
// in flight and a retransmission pending), and held with the link down or closing. Manual
// mode: deferred calls and the acknowledgement timer run when the input says so.
//
// Promises checked after every datagram: at most one port changes, and never one that no
// datagram can reach (a binding shadowed by a lower port, a channel above 255, no server);
// the receive ring is never overrun and holds exactly the bytes of the datagram that were
// stored; the link flags and sequence stay within their values; nothing is queued toward a
// remote but what the port owes it (the bare acknowledgement of a poll, a receive
// acknowledgement), one of each at most, and a chunk is marked to go again only when a poll's
// answer asks for it. At the end no pool block is left.
//
// Input: for each of the six ports, a state byte (low 3 bits: the state; 0x08 ring attached
// while opening; bits 4-7 InSeq), a write-state byte (bit 0 retransmission pending, bit 1
// chunk in flight, bits 4-7 OutSeq) and two 16-bit numbers (read index, bytes held); then
// datagrams, each a byte (bits 0-1 the source: server A, server B, a stranger, server A; 0x04
// run the deferred calls, 0x08 the sender takes the control packets, 0x10 eight seconds pass)
// and the datagram as a 16-bit length and its bytes.
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "port/byte_ring.h"
#include "fuzz_support.h"
#include "host/ex/pool_control.h"
#include "host/session/executive.h"
#include "link/link_threads.h"
#include "support/driver_ports.h"

namespace {

constexpr ULONG kServerA = 0x7F000A01;
constexpr ULONG kServerB = 0x7F000A02;
constexpr ULONG kSources[] = {kServerA, kServerB, 0x7F000A03, kServerA};
constexpr int kMaxDatagrams = 64;
constexpr LONGLONG kAckTimeout = -80000000;  // 8 s, relative

struct Binding {
  ULONG address;
  LONG channel;
  bool reachable;
};
constexpr Binding kBindings[] = {
    {kServerA, 1, true},
    {kServerA, 2, true},
    {kServerA, 2, false},      // port 1's binding: port 1 takes its packets
    {kServerB, 1, true},
    {kServerB, 0x101, false},  // no channel byte names it
    {0, 3, false},             // no server
};
constexpr int kPorts = static_cast<int>(std::size(kBindings));

// What a datagram may change of a port.
struct PortView {
  LONG readIndex, writeIndex, inSeq, outSeq;
  USHORT linkFlags;
  ULONG rxAckPending, writeInFlight;
  UCHAR retransmitPending, txPending;
  int controlPackets;
  bool operator==(const PortView&) const = default;
};

PortView View(testsupport::DriverPorts& ports, int i) {
  const PortTableEntry& entry = PortTable[i];
  const PortRecord* record = ports.Record(i);
  int controlPackets = 0;
  for (const ControlNode* node = entry.ControlQueue; node != nullptr; node = node->Next) controlPackets++;
  return {entry.RxRing.ReadIndex, entry.RxRing.WriteIndex, entry.InSeq, entry.OutSeq,
          record->LinkFlags, record->RxAckPending, record->WriteInFlight,
          record->RetransmitPending, entry.TxPending, controlPackets};
}

class Bench {
 public:
  explicit Bench(fuzz::Input& in) : ports_(kPorts) {
    for (int i = 0; i < kPorts; i++) {
      PortTable[i].RemoteAddress = kBindings[i].address;
      PortTable[i].RemoteChannel = kBindings[i].channel;
      rings_.push_back(std::make_unique<UCHAR[]>(RX_RING_SIZE));
      SetState(in, i);
    }
    copy_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RECEIVE_BUFFER_SIZE, POOL_TAG));
  }
  ~Bench() { ExFreePool(copy_); }

  // Delivers one datagram from an exact-size copy, so that a read past its end is caught.
  void Deliver(std::span<const uint8_t> datagram, ULONG source) {
    std::vector<PortView> before;
    for (int i = 0; i < kPorts; i++) before.push_back(View(ports_, i));
    auto exact = std::make_unique<UCHAR[]>(datagram.size());
    std::copy(datagram.begin(), datagram.end(), exact.get());
    DeliverInboundDatagram(exact.get(), static_cast<ULONG>(datagram.size()), source, copy_);
    int changed = 0;
    for (int i = 0; i < kPorts; i++) {
      const PortView after = View(ports_, i);
      if (after == before[i]) continue;
      changed++;
      FUZZ_CHECK(kBindings[i].reachable);
      CheckStored(i, before[i], after, datagram);
      FUZZ_CHECK(after.inSeq >= 0 && after.inSeq <= 15);
      FUZZ_CHECK((after.linkFlags & ~(LINK_PORT_HELD | LINK_OPEN | LINK_CONFIRMED)) == 0);
      const bool open = (before[i].linkFlags & LINK_OPEN) != 0;
      FUZZ_CHECK(after.outSeq == before[i].outSeq);
      FUZZ_CHECK(after.txPending == before[i].txPending || (open && before[i].retransmitPending));
      FUZZ_CHECK(after.controlPackets <= 2 && (after.controlPackets == before[i].controlPackets || open));
    }
    FUZZ_CHECK(changed <= 1);
  }

  // The sender takes every control packet: each is the bare acknowledgement of a poll, a
  // receive acknowledgement, or a poll of the chunk in flight when eight seconds passed.
  void TakeControlPackets() {
    for (int i = 0; i < kPorts; i++) {
      for (ControlNode* node = DetachControlQueue(i); node != nullptr;) {
        const LinkHeader header = DecodeLinkHeader(node->Header);
        FUZZ_CHECK(header.Length == LINK_HEADER_SIZE);
        FUZZ_CHECK((header.Type == PKT_ACK && header.Sequence == 0) || header.Type == PKT_RXACK ||
                   (header.Type == PKT_POLL && header.Sequence == 0));
        ControlNode* next = node->Next;
        ExFreePool(node);
        node = next;
      }
    }
  }

 private:
  void SetState(fuzz::Input& in, int i) {
    const uint8_t state = in.Byte();
    const uint8_t write = in.Byte();
    const LONG readIndex = in.Word() % RX_RING_SIZE;
    const LONG held = in.Word() % RX_RING_SIZE;
    PortRecord* record = ports_.Record(i);
    PortTableEntry& entry = PortTable[i];
    const int link = state & 7;
    if (link == 0 || (link == 2 && !(state & 0x08))) return;  // never opened
    entry.RxRing.Buffer = rings_[i].get();
    entry.RxRing.ReadIndex = readIndex;
    entry.RxRing.WriteIndex = (readIndex + held) % RX_RING_SIZE;
    if (link == 1) return;  // closed since
    entry.InSeq = 1;
    entry.OutSeq = 1;
    if (link == 2) return;  // opening: PKT_OPEN sent, no reply yet
    entry.InSeq = state >> 4;
    entry.OutSeq = write >> 4;
    record->LinkFlags = (link == 3) ? (LINK_PORT_HELD | LINK_OPEN | LINK_CONFIRMED) : (LINK_PORT_HELD | LINK_CONFIRMED);
    record->RetransmitPending = write & 1;
    record->WriteInFlight = (write >> 1) & 1;
    record->ChunkSequence = record->WriteInFlight ? entry.OutSeq : 0;
    if (record->WriteInFlight) KeSetTimer(&record->AckTimer, LARGE_INTEGER{.QuadPart = kAckTimeout}, &record->AckTimeoutDpc);
  }

  // The ring's read index never moves here, and the bytes added are the datagram's payload
  // from its start, within the room the ring had.
  void CheckStored(int i, const PortView& before, const PortView& after, std::span<const uint8_t> datagram) {
    const ByteRing& ring = PortTable[i].RxRing;
    FUZZ_CHECK(after.readIndex == before.readIndex);
    FUZZ_CHECK(after.writeIndex >= 0 && after.writeIndex < RX_RING_SIZE);
    if (after.writeIndex == before.writeIndex) return;
    FUZZ_CHECK(ring.Buffer != nullptr);
    const LONG added = (after.writeIndex - before.writeIndex + RX_RING_SIZE) % RX_RING_SIZE;
    const LONG heldBefore = (before.writeIndex - before.readIndex + RX_RING_SIZE) % RX_RING_SIZE;
    FUZZ_CHECK(heldBefore + added <= RX_RING_SIZE - 1);
    FUZZ_CHECK(LINK_HEADER_SIZE + added <= datagram.size());
    for (LONG j = 0; j < added; j++) {
      FUZZ_CHECK(ring.Buffer[(before.writeIndex + j) % RX_RING_SIZE] == datagram[LINK_HEADER_SIZE + j]);
    }
  }

  testsupport::DriverPorts ports_;
  std::vector<std::unique_ptr<UCHAR[]>> rings_;
  PUCHAR copy_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  host::session::StartManual();
  {
    Bench bench(in);
    for (int i = 0; i < kMaxDatagrams && !in.AtEnd(); i++) {
      const uint8_t op = in.Byte();
      bench.Deliver(in.Frame(RECEIVE_BUFFER_SIZE), kSources[op & 3]);
      if (op & 0x04) host::session::RunQueuedDpcs();
      if (op & 0x08) bench.TakeControlPackets();
      if (op & 0x10) host::session::AdvanceClock(-kAckTimeout);
    }
    bench.TakeControlPackets();
  }
  FUZZ_CHECK(host::ex::OutstandingBlocks() == 0);
  host::session::Shutdown();
  return 0;
}
