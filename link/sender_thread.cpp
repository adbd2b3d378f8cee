// The sender thread: on every wake-up it visits each port once, starting one port further each
// time, and sends the port's queued control packets and then at most one data packet. Paces
// its output with busy-waits. PASSIVE_LEVEL; it takes a port's PortLock only to move bytes
// out of the transmit ring (against writers that do not wait for an acknowledgement) and to
// decide a retransmission.
#include "link/link_threads.h"
#include "link/tx_ring.h"
#include "link/udp_endpoint.h"

constexpr ULONG CONTROL_PAUSE_US = 800;
constexpr ULONG DATA_PAUSE_US = 1000;
constexpr ULONG RETRANSMIT_PAUSE_US = 100000;

namespace {

struct PassState {
  NTSTATUS Status;         // status of the last send of the pass
  PFILE_OBJECT FailedOn;   // address object of that send when it failed
};

VOID SendScratch(LONG port, ULONG length, PassState* pass) {
  PFILE_OBJECT object = AcquireUdpAddress();
  NTSTATUS status = SendDatagram(object, LINK_PORT, ReadShared(PortTable[port].RemoteAddress),
                                 OutboundScratch, length);
  ReleaseUdpAddress(object);
  pass->Status = status;
  pass->FailedOn = NT_SUCCESS(status) ? NULL : object;
}

VOID SendControlPackets(LONG port, PassState* pass) {
  ControlNode* node = DetachControlQueue(port);
  while (node != NULL) {
    ULONG length = DecodeLinkHeader(node->Header).Length;
    if (length < LINK_HEADER_SIZE) length = LINK_HEADER_SIZE;
    if (length > LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX) length = LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX;
    RtlCopyMemory(OutboundScratch, node->Header, LINK_HEADER_SIZE);
    RtlCopyMemory(OutboundScratch + LINK_HEADER_SIZE, node->Payload, length - LINK_HEADER_SIZE);
    if (node->Header[0] == PKT_OPEN || node->Header[0] == PKT_POLL) {
      SetLinkHeaderSequence(OutboundScratch, (ULONG)ReadShared(PortTable[port].OutSeq));
    }
    KeStallExecutionProcessor(CONTROL_PAUSE_US);
    SendScratch(port, length, pass);
    ControlNode* next = node->Next;
    ExFreePool(node);
    node = next;
  }
}

// Fills the payload of a data packet; returns its byte count, 0 when there is nothing to send.
// A retransmission leaves the bytes placed in the ring since the chunk where they are and says
// so in *bytesLeft, so that they go out with the port's next visit.
LONG TakeDataPayload(LONG port, PortRecord* record, BOOLEAN* retransmission, BOOLEAN* bytesLeft) {
  PUCHAR payload = OutboundScratch + LINK_HEADER_SIZE;
  *bytesLeft = FALSE;
  if (ReadShared(record->RetransmitPending)) {
    KeStallExecutionProcessor(RETRANSMIT_PAUSE_US);
    KIRQL oldIrql = KfAcquireSpinLock(&record->PortLock);
    // Acknowledged during the pause: the remote has the packet, nothing is sent again.
    LONG count = ReadShared(record->RetransmitPending) ? ReadShared(record->LastSentCount) : 0;
    if (count > (LONG)DATA_PAYLOAD_MAX) count = DATA_PAYLOAD_MAX;
    if (count > 0) RtlCopyMemory(payload, record->RetransmitCopy, count);
    *bytesLeft = (BOOLEAN)(PortTable[port].TxHeld > 0);
    KfReleaseSpinLock(&record->PortLock, oldIrql);
    *retransmission = TRUE;
    return count > 0 ? count : 0;
  }
  KIRQL oldIrql = KfAcquireSpinLock(&record->PortLock);
  LONG count = TakeTxBytes(port, payload);
  if (count > 0) RtlCopyMemory(record->RetransmitCopy, payload, count);
  KfReleaseSpinLock(&record->PortLock, oldIrql);
  *retransmission = FALSE;
  return count;
}

// Numbers and sends the data packet whose payload is in OutboundScratch.
VOID SendPayload(LONG port, LONG count, BOOLEAN retransmission, PassState* pass) {
  LONG sequence = ReadShared(PortTable[port].OutSeq);
  if (!retransmission && sequence != 0) {
    sequence = NextSeq(sequence);
    WriteShared(PortTable[port].OutSeq, sequence);
  }
  EncodeLinkHeader(OutboundScratch, PKT_DATA, (UCHAR)(ReadShared(PortTable[port].RemoteChannel) & 0xFF),
                   (ULONG)count + LINK_HEADER_SIZE, (ULONG)sequence);
  KeStallExecutionProcessor(DATA_PAUSE_US);
  SendScratch(port, (ULONG)count + LINK_HEADER_SIZE, pass);
}

VOID SendDataPacket(LONG port, PassState* pass) {
  PortRecord* record = PortTable[port].PortRecord;
  if (record == NULL) return;
  BOOLEAN retransmission;
  BOOLEAN bytesLeft;
  LONG count = TakeDataPayload(port, record, &retransmission, &bytesLeft);
  if (count > 0) {  // a mark that finds nothing placed sends nothing
    SendPayload(port, count, retransmission, pass);
    WriteShared(record->RetransmitPending, 0);
  }
  if (bytesLeft) {
    WriteShared(PortTable[port].TxPending, 1);
    KeSetEvent(&SendEvent, 16, FALSE);
  }
}

}  // namespace

NTSTATUS SendPass(LONG start, PFILE_OBJECT* failedOn) {
  PassState pass = {STATUS_SUCCESS, NULL};
  for (LONG k = 0; k < MaxPort; k++) {
    LONG port = (start + k) % MaxPort;
    SendControlPackets(port, &pass);
    if (ReadShared(PortTable[port].TxPending)) {
      WriteShared(PortTable[port].TxPending, 0);
      SendDataPacket(port, &pass);
    }
  }
  *failedOn = pass.FailedOn;
  return pass.Status;
}

VOID NTAPI SenderThread(PVOID) {
  LONG start = 0;
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    KeWaitForSingleObject(&SendEvent, Executive, KernelMode, FALSE, NULL);
    if (MaxPort >= 1) {
      start = (start + 1) % MaxPort;
      PFILE_OBJECT failedOn = NULL;
      status = SendPass(start, &failedOn);
      if (!NT_SUCCESS(status) && !ReadShared(Unloading)) ReopenUdpEndpoint(failedOn);
    }
    if (ReadShared(Unloading)) break;
  }
  PsTerminateSystemThread(status);
}
