#include "link/tx_ring.h"

LONG PlaceTxBytes(LONG portIndex, const UCHAR* bytes, LONG count) {
  ByteRing* ring = &PortTable[portIndex].TxRing;
  LONG room = TxRingRoom(portIndex);
  if (count > room) count = room;
  LONG write = ring->WriteIndex;
  for (LONG i = 0; i < count; i++) {
    ring->Buffer[write] = bytes[i];
    write = (write + 1) % TX_RING_SIZE;
  }
  ring->WriteIndex = write;
  PortTable[portIndex].TxHeld = PortTable[portIndex].TxHeld + count;
  return count;
}

LONG TakeTxBytes(LONG portIndex, PUCHAR out) {
  ByteRing* ring = &PortTable[portIndex].TxRing;
  LONG held = PortTable[portIndex].TxHeld;
  if (held <= 0 || ring->Buffer == NULL) return 0;
  LONG read = ring->ReadIndex;
  for (LONG i = 0; i < held; i++) {
    out[i] = ring->Buffer[read];
    read = (read + 1) % TX_RING_SIZE;
  }
  ring->ReadIndex = read;
  PortTable[portIndex].TxHeld = 0;
  return held;
}
