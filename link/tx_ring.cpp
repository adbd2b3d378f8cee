#include "link/tx_ring.h"

#include "port/byte_ring.h"

LONG PlaceTxBytes(LONG portIndex, const UCHAR* bytes, LONG count) {
  ENTRY_REQUIRES_LOCK_HELD(PortTable[portIndex].PortRecord->PortLock);
  ByteRing* ring = &PortTable[portIndex].TxRing;
  LONG room = TxRingRoom(portIndex);
  if (count > room) count = room;
  ring->WriteIndex = CopyIntoRing(ring, TX_RING_SIZE, bytes, count);
  PortTable[portIndex].TxHeld = PortTable[portIndex].TxHeld + count;
  return count;
}

LONG TakeTxBytes(LONG portIndex, PUCHAR out) {
  ENTRY_REQUIRES_LOCK_HELD(PortTable[portIndex].PortRecord->PortLock);
  ByteRing* ring = &PortTable[portIndex].TxRing;
  LONG held = PortTable[portIndex].TxHeld;
  if (held <= 0 || ring->Buffer == NULL) return 0;
  ring->ReadIndex = CopyOutOfRing(ring, TX_RING_SIZE, out, held);
  PortTable[portIndex].TxHeld = 0;
  return held;
}
