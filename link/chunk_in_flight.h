// The chunk in flight: the one data packet of a port that the remote has not yet acknowledged.
// link/chunk_in_flight.cpp states its discipline; the write engine, the immediate character,
// the sender, inbound dispatch and open and close move it only through these routines.
#pragma once

#include "port/port_timer.h"
#include "link/link_packet.h"

// The acknowledgement timeout: a chunk unacknowledged this long after its sending is polled for.
constexpr LONGLONG ACK_TIMEOUT = -8000 * DUE_UNITS_PER_MS;

// TRUE while a chunk is placed or sent and not yet acknowledged or abandoned: nothing fresh
// goes out behind it.
_Requires_lock_held_(record->PortLock)
inline BOOLEAN ChunkInFlight(const PortRecord* record) {
  ENTRY_REQUIRES_LOCK_HELD(record->PortLock);
  return (BOOLEAN)(ReadShared(record->WriteInFlight) != 0);
}

// Bytes were just placed in the transmit ring while no chunk was in flight: they are the
// port's chunk in flight from now on, marked for the sender and guarded by the timer (which
// marks them again if the mark was lost to a closed link).
_Requires_lock_held_(record->PortLock)
VOID MarkChunkPlaced(PortRecord* record);

// The sender's visit: fills `payload` (room for DATA_PAYLOAD_MAX bytes) with the chunk's
// packet and returns its byte count, or 0 when there is nothing to send. A placed chunk goes
// out fresh, numbered with the next OutSeq; a sent one goes again, same bytes and sequence,
// only when its poll's answer asked for it. Either way the timer runs 8 s from this sending.
// Nothing fresh goes out unless an application holds the port with its link open: the bytes
// wait for the next open.
_Requires_lock_held_(record->PortLock)
LONG TakeChunkPacket(PortRecord* record, PUCHAR payload, LONG* sequence);

// An acknowledgement from the remote, carrying the last data sequence it took
// (inbound dispatch).
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(record->PortLock)
VOID ApplyChunkAcknowledgement(PortRecord* record, LONG sequence);

// Forgets the chunk in flight and stops its timer: the remote numbers afresh from the next
// open. Bytes still in the transmit ring stay there. PortLock held (open and close).
_Requires_lock_held_(record->PortLock)
VOID AbandonChunk(PortRecord* record);

// Routine of AckTimeoutDpc: the chunk went 8 s without an acknowledgement. Takes
// PortLock.
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE AckTimeoutDpc;
