#include "port/byte_ring.h"

LONG CopyIntoRing(const ByteRing* ring, LONG size, const UCHAR* bytes, LONG count) {
  LONG write = ring->WriteIndex;
  for (LONG i = 0; i < count; i++) {
    ring->Buffer[write] = bytes[i];
    write = (write + 1) % size;
  }
  return write;
}

LONG CopyOutOfRing(const ByteRing* ring, LONG size, PUCHAR out, LONG count) {
  LONG read = ring->ReadIndex;
  for (LONG i = 0; i < count; i++) {
    out[i] = ring->Buffer[read];
    read = (read + 1) % size;
  }
  return read;
}
