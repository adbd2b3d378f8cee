// QueueLinkPacket, MarkTxData and the sender's taking of control nodes. The append walks the
// list to its tail while the sender may take its head from another thread, so both run
// under one spin lock for all control queues. It is a leaf lock: nothing is acquired while it
// is held, so it nests inside PortLock and the cancel lock without an order problem.
//
// An acknowledgement the driver owes (the answer to a poll, a receive acknowledgement) waits at
// most once per port: a newer one of the same type replaces the waiting one's sequence where it
// stands in the queue. Each says only where the driver stands now, so nothing is lost, and a
// remote that floods polls or data cannot grow the queue or hold up other ports' packets.
#include "link/link_packet.h"

static KSPIN_LOCK ControlQueueLock;

// Wakes the sender thread; several wake-ups before it waits give one pass, which loses
// nothing because every pass visits every port.
static VOID WakeSender() { KeSetEvent(&SendEvent, 16, FALSE); }

VOID InitializeControlQueues() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KeInitializeSpinLock(&ControlQueueLock);
}

static BOOLEAN PassesLinkGate(UCHAR type, LONG portIndex) {
  if (portIndex < 0 || portIndex >= MAX_PORTS) return FALSE;
  PortRecord* record = PortTable[portIndex].PortRecord;
  if (record == NULL) return FALSE;
  if (ReadShared(record->LinkFlags) & LINK_OPEN) return TRUE;
  return (BOOLEAN)(type == PKT_OPEN || type == PKT_CLOSE);
}

static BOOLEAN WaitsAtMostOnce(UCHAR type) { return (BOOLEAN)(type == PKT_ACK || type == PKT_RXACK); }

// Appends the node at the tail of the port's queue, or gives its header to a waiting node of
// the same type that waits at most once; TRUE when the node was appended.
static BOOLEAN AppendControlNode(LONG portIndex, ControlNode* node) {
  KIRQL oldIrql = KfAcquireSpinLock(&ControlQueueLock);
  ControlNode* volatile* link = &PortTable[portIndex].ControlQueue;
  for (; *link != NULL; link = &(*link)->Next) {
    if (WaitsAtMostOnce(node->Header[0]) && (*link)->Header[0] == node->Header[0]) break;
  }
  BOOLEAN appended = (BOOLEAN)(*link == NULL);
  if (appended) WriteShared(*link, node);  // the head is read without the lock
  else RtlCopyMemory((*link)->Header, node->Header, LINK_HEADER_SIZE);
  KfReleaseSpinLock(&ControlQueueLock, oldIrql);
  return appended;
}

VOID MarkTxData(LONG portIndex) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  if (!PassesLinkGate(PKT_DATA, portIndex)) return;
  WriteShared(PortTable[portIndex].TxPending, 1);
  WakeSender();
}

VOID QueueLinkPacket(UCHAR type, const VOID* payload, ULONG length, LONG portIndex) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  if (!PassesLinkGate(type, portIndex)) return;
  // A payload longer than a node holds is refused rather than copied past the node.
  if (length > CONTROL_PAYLOAD_MAX) {
    WakeSender();
    return;
  }
  ControlNode* node = (ControlNode*)ExAllocatePoolWithTag(NonPagedPool, sizeof(ControlNode), POOL_TAG);
  if (node != NULL) {
    LONG sequence = (type == PKT_RXACK) ? ReadShared(PortTable[portIndex].InSeq) : 0;
    EncodeLinkHeader(node->Header, type, (UCHAR)(ReadShared(PortTable[portIndex].RemoteChannel) & 0xFF),
                     length + LINK_HEADER_SIZE, (ULONG)sequence);
    if (payload != NULL && length != 0) RtlCopyMemory(node->Payload, payload, length);
    node->Next = NULL;
    if (type == PKT_OPEN) {
      InterlockedIncrement(&PortTable[portIndex].OpensQueued);
      InterlockedIncrement(&PortTable[portIndex].OpensUnanswered);
    }
    if (!AppendControlNode(portIndex, node)) ExFreePool(node);
  }
  WakeSender();
}

LONG DiscardControlQueue(LONG portIndex) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  LONG count = 0;
  for (ControlNode* node = DetachControlQueue(portIndex); node != NULL; count++) {
    ControlNode* next = node->Next;
    FreeControlNode(portIndex, node);
    node = next;
  }
  return count;
}

VOID FreeControlNode(LONG portIndex, ControlNode* node) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  if (node->Header[0] == PKT_OPEN) InterlockedDecrement(&PortTable[portIndex].OpensQueued);
  ExFreePool(node);
}

ControlNode* DetachControlQueue(LONG portIndex) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  KIRQL oldIrql = KfAcquireSpinLock(&ControlQueueLock);
  ControlNode* head = PortTable[portIndex].ControlQueue;
  WriteShared(PortTable[portIndex].ControlQueue, (ControlNode*)NULL);
  KfReleaseSpinLock(&ControlQueueLock, oldIrql);
  return head;
}

ControlNode* TakeControlHead(LONG portIndex) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  KIRQL oldIrql = KfAcquireSpinLock(&ControlQueueLock);
  ControlNode* head = PortTable[portIndex].ControlQueue;
  if (head != NULL) WriteShared(PortTable[portIndex].ControlQueue, head->Next);
  KfReleaseSpinLock(&ControlQueueLock, oldIrql);
  if (head != NULL) head->Next = NULL;
  return head;
}

BOOLEAN ControlQueued(LONG portIndex) { return (BOOLEAN)(ReadShared(PortTable[portIndex].ControlQueue) != NULL); }
