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

// Sequenced data: accepted only in order; cut to the room the ring has.
static VOID StoreSequencedData(LONG portIndex, PortRecord* record, ByteRing* ring,
                               const UCHAR* payload, LONG count, LONG sequence) {
  LONG expected = NextSeq(ReadShared(PortTable[portIndex].InSeq));
  if (sequence != expected) return;
  LONG room = RxRoom(ring);
  if (count > room) count = room;
  ring->WriteIndex = CopyIntoRing(ring, RX_RING_SIZE, payload, count);
  WriteShared(PortTable[portIndex].InSeq, expected);
  WriteShared(record->RxAckPending, 1);
  KeInsertQueueDpc(&record->ReadDataDpc, NULL, NULL);
}

static VOID ApplyAcknowledgement(LONG portIndex, PortRecord* record, LONG sequence) {
  KeCancelTimer(&record->AckTimer);
  if (ReadShared(record->RetransmitPending)) {
    if (sequence == (ReadShared(PortTable[portIndex].OutSeq) & 0xF)) {
      WriteShared(record->RetransmitPending, 0);
      if (ReadShared(record->WriteInFlight) == 1) KeInsertQueueDpc(&record->WriteDpc, NULL, NULL);
    } else {
      // The remote has not taken the last packet: the write engine has it sent again.
      KeInsertQueueDpc(&record->WriteDpc, NULL, NULL);
    }
  } else if (ReadShared(record->WriteInFlight) == 1) {
    KeInsertQueueDpc(&record->WriteDpc, NULL, NULL);
  }
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
      ApplyAcknowledgement(portIndex, record, header.Sequence);
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
