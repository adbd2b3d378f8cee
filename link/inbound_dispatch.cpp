// Inbound dispatch: what each packet from a remote server does to its port. Runs in a receiver
// thread at DISPATCH_LEVEL with the port's PortLock held: it never blocks.
#include "driver/byte_ring.h"
#include "link/link_threads.h"

LONG FindInboundPort(ULONG sourceAddress, UCHAR channel) {
  LONG ports = MaxPort < MAX_PORTS ? MaxPort : MAX_PORTS;
  for (LONG i = 0; i < ports; i++) {
    if (PortTable[i].PortRecord == NULL) continue;
    if (ReadShared(PortTable[i].RemoteAddress) == sourceAddress &&
        ReadShared(PortTable[i].RemoteChannel) == (LONG)channel) {
      return i;
    }
  }
  return -1;
}

// Room for more bytes in a receive ring, which holds at most RX_RING_SIZE - 1.
static LONG RxRoom(const ByteRing* ring) { return (RX_RING_SIZE - 1) - RingHeld(ring, RX_RING_SIZE); }

// Unsequenced data: taken whole or not at all.
static VOID StoreData(PortRecord* record, ByteRing* ring, const UCHAR* payload, LONG count) {
  if (count > RxRoom(ring)) return;  // would overrun the reader: drop the whole packet
  ring->WriteIndex = CopyIntoRing(ring, RX_RING_SIZE, payload, count);
  KeInsertQueueDpc(&record->ReadDataDpc, NULL, NULL);
}

// Sequenced data: taken whole and only in order. One that is not taken (a repeat, a gap, or
// one the ring has no room for) leaves InSeq as it is and makes the next read acknowledge
// again what was taken, so that the remote, which sends again what it has not seen
// acknowledged, learns where to go on from.
static VOID StoreSequencedData(LONG portIndex, PortRecord* record, ByteRing* ring,
                               const UCHAR* payload, LONG count, LONG sequence) {
  LONG expected = NextSeq(ReadShared(PortTable[portIndex].InSeq));
  WriteShared(record->RxAckPending, 1);
  if (sequence != expected || count > RxRoom(ring)) return;
  ring->WriteIndex = CopyIntoRing(ring, RX_RING_SIZE, payload, count);
  WriteShared(PortTable[portIndex].InSeq, expected);
  KeInsertQueueDpc(&record->ReadDataDpc, NULL, NULL);
}

// An acknowledgement counts only for the chunk in flight once it was sent (serial/write.cpp
// states the discipline). With no poll outstanding, only one naming the chunk's sequence
// counts, once; any other leaves the acknowledgement timer running. With a poll outstanding it
// is the answer: the chunk's sequence means delivered, any other has the chunk sent again.
static VOID ApplyAcknowledgement(PortRecord* record, LONG sequence) {
  if (!ReadShared(record->WriteInFlight) || record->ChunkSequence == 0) return;
  BOOLEAN delivered = (BOOLEAN)(sequence == record->ChunkSequence);
  if (!delivered && !record->RetransmitPending) return;
  KeCancelTimer(&record->AckTimer);
  if (delivered) {
    WriteShared(record->RetransmitPending, 0);
    WriteShared(record->WriteInFlight, 0);
  }
  KeInsertQueueDpc(&record->WriteDpc, NULL, NULL);
}

VOID DispatchInboundPacket(LONG portIndex, const UCHAR* packet, ULONG received) {
  PortRecord* record = PortTable[portIndex].PortRecord;
  ByteRing* ring = &PortTable[portIndex].RxRing;
  LinkHeader header = DecodeLinkHeader(packet);
  ULONG usable = header.Length < received ? header.Length : received;
  LONG count = (LONG)usable - (LONG)LINK_HEADER_SIZE;
  if (count < 0) count = 0;
  const UCHAR* payload = packet + LINK_HEADER_SIZE;

  switch (header.Type) {
    case PKT_DATA:
      if (ring->Buffer != NULL) StoreData(record, ring, payload, count);
      break;
    case PKT_OPEN:
      if (header.Length == 3) {
        WriteShared(record->LinkFlags, ReadShared(record->LinkFlags) | LINK_OPEN | LINK_CONFIRMED);
        WriteShared(PortTable[portIndex].InSeq, header.Sequence);
      }
      break;
    case PKT_CLOSE:
      WriteShared(record->LinkFlags, 0);
      break;
    case PKT_ACK:
      ApplyAcknowledgement(record, header.Sequence);
      break;
    case PKT_DOWN:
      WriteShared(record->LinkFlags, ReadShared(record->LinkFlags) & ~LINK_OPEN);
      break;
    case PKT_POLL:
      if (ReadShared(record->LinkFlags) & LINK_OPEN) QueueLinkPacket(0, PKT_ACK, NULL, 0, portIndex);
      break;
    case PKT_SEQDATA:
      if (ring->Buffer != NULL) {
        StoreSequencedData(portIndex, record, ring, payload, count, header.Sequence);
      }
      break;
    default:
      break;
  }
}
