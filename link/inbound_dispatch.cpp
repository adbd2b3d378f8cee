// Inbound dispatch: what each packet from a remote server does to its port. Runs in a receiver
// thread at DISPATCH_LEVEL with the port's PortLock held: it never blocks.
#include "port/byte_ring.h"
#include "link/chunk_in_flight.h"
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

// Sequenced data: taken whole and only in order, and only once every PKT_OPEN is answered
// (until then the remote may number it again). A packet out of order (the remote resending
// what it has not seen acknowledged, or one after a gap) is answered at once with a receive
// acknowledgement of what was taken: waiting for the application's next read to say it would
// stall the port for good when a read waits and the acknowledgement it sent was lost, the
// remote resending and the port refusing. One the ring has no room for leaves InSeq as it is
// and makes the next read acknowledge again, once the application has made room.
static VOID StoreSequencedData(LONG portIndex, PortRecord* record, ByteRing* ring,
                               const UCHAR* payload, LONG count, LONG sequence) {
  LONG expected = NextSeq(ReadShared(PortTable[portIndex].InSeq));
  if (sequence != expected || ReadShared(PortTable[portIndex].OpensUnanswered) > 0) {
    WriteShared(record->RxAckPending, 0);
    QueueLinkPacket(PKT_RXACK, NULL, 0, portIndex);
    return;
  }
  WriteShared(record->RxAckPending, 1);
  if (count > RxRoom(ring)) return;
  ring->WriteIndex = CopyIntoRing(ring, RX_RING_SIZE, payload, count);
  WriteShared(PortTable[portIndex].InSeq, expected);
  KeInsertQueueDpc(&record->ReadDataDpc, NULL, NULL);
}

// The remote's open reply opens the link and says where its sequenced data goes on from; the
// remote numbers afresh at every PKT_OPEN it takes. Replies do not say which PKT_OPEN they
// answer, so each answers the oldest one unanswered: while one is left, a later PKT_OPEN will
// still renumber the remote's data, and the open waits on (a reply late from an open that gave
// up must not finish the next one). A reply when none is unanswered and the link is open is a
// repeat, and one while the port is held would renumber the data under the driver's feet: both
// change nothing. One with the link closed and nothing asked opens it; opens are then refused
// until the remote closes it or reports it down.
static VOID ApplyOpenReply(LONG portIndex, PortRecord* record, UCHAR sequence) {
  USHORT flags = ReadShared(record->LinkFlags);
  if (flags & LINK_PORT_HELD) return;
  if (ReadShared(PortTable[portIndex].OpensUnanswered) > 0) {
    InterlockedDecrement(&PortTable[portIndex].OpensUnanswered);
  } else if (flags & LINK_OPEN) {
    return;
  }
  WriteShared(record->LinkFlags, flags | LINK_OPEN | LINK_CONFIRMED);
  WriteShared(PortTable[portIndex].InSeq, sequence);
}

// A close reply while an application holds the port with its link open answers no close of
// this session (a close clears LINK_OPEN before it asks; the remote reports its own closing as
// link-down): it is a repeated or late one, and closing the link for it would leave every
// request waiting until the application gives up.
static BOOLEAN CloseReplyIsStale(USHORT flags) {
  return (BOOLEAN)((flags & (LINK_PORT_HELD | LINK_OPEN)) == (LINK_PORT_HELD | LINK_OPEN));
}

VOID DispatchInboundPacket(LONG portIndex, const UCHAR* packet, ULONG received) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(PortTable[portIndex].PortRecord->PortLock);
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
      if (header.Length == 3) ApplyOpenReply(portIndex, record, header.Sequence);
      break;
    case PKT_CLOSE:
      if (!CloseReplyIsStale(ReadShared(record->LinkFlags))) WriteShared(record->LinkFlags, 0);
      break;
    case PKT_ACK:
      ApplyChunkAcknowledgement(record, header.Sequence);
      break;
    case PKT_DOWN:
      WriteShared(record->LinkFlags, ReadShared(record->LinkFlags) & ~LINK_OPEN);
      break;
    case PKT_POLL:
      if (ReadShared(record->LinkFlags) & LINK_OPEN) QueueLinkPacket(PKT_ACK, NULL, 0, portIndex);
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
