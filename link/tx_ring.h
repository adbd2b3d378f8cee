// The transmit ring of a port: writers place bytes at the write index, the sender takes them
// from the read index. TxHeld counts the bytes placed and not yet taken, so that equal indexes
// are never mistaken for a full ring: the sender sends exactly what writers placed, and a data
// mark that finds the ring empty sends nothing.
#pragma once

#include "link/link_packet.h"

// Bytes free in the port's transmit ring.
inline LONG TxRingRoom(LONG portIndex) { return TX_RING_SIZE - PortTable[portIndex].TxHeld; }

// Copies up to `count` bytes into the port's transmit ring (as many as it has room for) and
// returns how many were placed. The ring must be attached.
_Requires_lock_held_(PortTable[portIndex].PortRecord->PortLock)
LONG PlaceTxBytes(LONG portIndex, const UCHAR* bytes, LONG count);

// Moves every byte held in the port's transmit ring to `out` (room for 128 bytes), leaving the
// ring empty, and returns the count (0 when nothing was held).
_Requires_lock_held_(PortTable[portIndex].PortRecord->PortLock)
LONG TakeTxBytes(LONG portIndex, PUCHAR out);
