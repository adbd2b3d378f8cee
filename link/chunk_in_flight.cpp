// The chunk in flight. A port has at most one data packet the remote has not acknowledged, and
// sends nothing fresh behind it: the remote takes data only in order, so a packet it has not
// taken must go again before any later one, under the same sequence.
//
// Its state is WriteInFlight, ChunkSequence, RetransmitPending, LastSentCount, RetransmitCopy,
// the bytes held in the transmit ring, the advance of OutSeq, and AckTimer. All of it changes
// under the port's PortLock, here only:
// - placed (MarkChunkPlaced): bytes were put in the ring while no chunk was in flight (a write's
//   chunk, an immediate character on its own, bytes held behind the chunk before, bytes left at
//   an open). WriteInFlight 1, ChunkSequence 0, the port marked for the sender, and the timer
//   armed: a mark the link gate dropped (the link was down) is made again at each expiry, so the
//   chunk goes out once the link is open, and is never silently left behind;
// - sent (TakeChunkPacket, fresh): once an application holds the port with its link open, the
//   sender takes every byte held, numbers it with the next OutSeq (ChunkSequence), keeps the
//   copy, and arms the timer 8 s from the sending. Bytes placed behind a sent chunk wait in the
//   ring until it is acknowledged;
// - polled for (AckTimeoutDpc): 8 s after a sending, and every 8 s after that, the port sends
//   PKT_POLL and RetransmitPending says a poll is out. Nothing but a sending, a poll and the end
//   of the chunk touches the timer: requests that come, go or are cancelled never postpone it;
// - acknowledged (ApplyChunkAcknowledgement): an acknowledgement names the last sequence the
//   remote took. Naming ChunkSequence it ends the chunk (timer stopped, the write engine woken),
//   whether or not a poll is out. Naming another, it is stale or the answer to a poll: with a
//   poll out the remote has not taken the chunk, which is marked to go again; with none, it
//   changes nothing;
// - resent (TakeChunkPacket, again): with RetransmitPending, the sender sends the copy under
//   ChunkSequence, clears RetransmitPending in the same step (a poll after this asks anew) and
//   re-arms the timer;
// - abandoned (AbandonChunk): open and close forget it; the remote numbers afresh from the next
//   open.
// A deferred call of the timer that was queued before the timer was set again finds it not
// signalled (KeReadStateTimer) and does nothing, so an old expiry never polls for a new chunk.
#include "link/chunk_in_flight.h"

#include "link/tx_ring.h"

namespace {

VOID ArmAckTimer(PortRecord* record) {
  SetPortTimer(&record->AckTimer, ACK_TIMEOUT, &record->AckTimeoutDpc);
}

// The retransmission of the sent chunk: its bytes under its sequence. PortLock held.
LONG TakeRetransmission(PortRecord* record, PUCHAR payload, LONG* sequence) {
  LONG count = record->LastSentCount;
  if (count > (LONG)DATA_PAYLOAD_MAX) count = DATA_PAYLOAD_MAX;
  if (count < 0) count = 0;
  RtlCopyMemory(payload, record->RetransmitCopy, count);
  *sequence = record->ChunkSequence;
  WriteShared(record->RetransmitPending, 0);
  return count;
}

// Every byte held in the ring as a fresh packet under the next OutSeq, once an application
// holds the port with its link open: the session's PKT_OPEN has gone out by then (open waits
// for it), so no data of a session ever precedes its open, which tells the remote where the
// session's numbering starts. PortLock held.
LONG TakeFreshPacket(PortRecord* record, PUCHAR payload, LONG* sequence) {
  const USHORT held = LINK_PORT_HELD | LINK_OPEN;
  if ((ReadShared(record->LinkFlags) & held) != held) return 0;
  LONG port = record->PortIndex;
  LONG outSeq = ReadShared(PortTable[port].OutSeq);
  if (outSeq == 0) return 0;
  LONG count = TakeTxBytes(port, payload);
  if (count == 0) return 0;
  RtlCopyMemory(record->RetransmitCopy, payload, count);
  record->LastSentCount = count;
  WriteShared(PortTable[port].OutSeq, NextSeq(outSeq));
  record->ChunkSequence = NextSeq(outSeq);
  WriteShared(record->RetransmitPending, 0);
  WriteShared(record->WriteInFlight, 1);
  *sequence = record->ChunkSequence;
  return count;
}

}  // namespace

VOID MarkChunkPlaced(PortRecord* record) {
  ENTRY_REQUIRES_LOCK_HELD(record->PortLock);
  record->ChunkSequence = 0;
  WriteShared(record->RetransmitPending, 0);
  WriteShared(record->WriteInFlight, 1);
  MarkTxData(record->PortIndex);
  ArmAckTimer(record);
}

LONG TakeChunkPacket(PortRecord* record, PUCHAR payload, LONG* sequence) {
  ENTRY_REQUIRES_LOCK_HELD(record->PortLock);
  LONG count = 0;
  if (!ChunkInFlight(record) || record->ChunkSequence == 0) {
    count = TakeFreshPacket(record, payload, sequence);
  } else if (record->RetransmitPending) {
    count = TakeRetransmission(record, payload, sequence);
  }
  if (count != 0) ArmAckTimer(record);
  return count;
}

VOID ApplyChunkAcknowledgement(PortRecord* record, LONG sequence) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_HELD(record->PortLock);
  if (!ChunkInFlight(record) || record->ChunkSequence == 0) return;
  if (sequence == record->ChunkSequence) {
    KeCancelTimer(&record->AckTimer);
    record->ChunkSequence = 0;
    WriteShared(record->RetransmitPending, 0);
    WriteShared(record->WriteInFlight, 0);
    KeInsertQueueDpc(&record->WriteDpc, NULL, NULL);
  } else if (record->RetransmitPending) {
    MarkTxData(record->PortIndex);
  }
}

VOID AbandonChunk(PortRecord* record) {
  ENTRY_REQUIRES_LOCK_HELD(record->PortLock);
  KeCancelTimer(&record->AckTimer);
  record->ChunkSequence = 0;
  WriteShared(record->RetransmitPending, 0);
  WriteShared(record->WriteInFlight, 0);
}

VOID NTAPI AckTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ENTRY_IRQL_REQUIRES(DISPATCH_LEVEL);
  auto record = (PortRecord*)context;
  KIRQL portIrql = KfAcquireSpinLock(&record->PortLock);
  if (KeReadStateTimer(&record->AckTimer) && ChunkInFlight(record)) {
    if (record->ChunkSequence == 0) {
      MarkTxData(record->PortIndex);
    } else {
      WriteShared(record->RetransmitPending, 1);
      QueueLinkPacket(PKT_POLL, NULL, 0, record->PortIndex);
    }
    ArmAckTimer(record);
  }
  KfReleaseSpinLock(&record->PortLock, portIrql);
}
