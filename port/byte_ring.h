// Copies into and out of a port's circular byte buffer. The caller holds the port's PortLock,
// checks the room first, and stores the index these return.
#pragma once

#include "port/port_record.h"

// Bytes between the read and write indices of a ring of `size` bytes (equal indices: none).
inline LONG RingHeld(const ByteRing* ring, LONG size) {
  return (ring->WriteIndex - ring->ReadIndex + size) % size;
}

// Copies `count` bytes to the ring from its write index on, wrapping at `size`; returns the
// advanced write index, which the caller stores.
LONG CopyIntoRing(const ByteRing* ring, LONG size, const UCHAR* bytes, LONG count);

// Copies `count` bytes from the ring from its read index on, wrapping at `size`; returns the
// advanced read index, which the caller stores.
LONG CopyOutOfRing(const ByteRing* ring, LONG size, PUCHAR out, LONG count);
