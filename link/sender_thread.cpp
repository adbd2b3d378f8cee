// The sender thread: on every wake-up it visits each port once, starting one port further each
// time, and sends the port's queued control packets and then at most one data packet. Paces
// its output with busy-waits. PASSIVE_LEVEL; it takes a port's PortLock to take a data
// packet: the bytes of the transmit ring, numbered, or the retransmission of the chunk in
// flight.
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

// Takes the retransmission of the chunk in flight: the last fresh packet's bytes, under the
// chunk's sequence. Clearing RetransmitPending here is what takes the job: a retransmission
// asked for after this step waits for the next visit. PortLock held.
LONG TakeRetransmission(PortRecord* record, PUCHAR payload, LONG* sequence) {
  LONG count = record->LastSentCount;
  if (count > (LONG)DATA_PAYLOAD_MAX) count = DATA_PAYLOAD_MAX;
  if (count < 0) count = 0;
  RtlCopyMemory(payload, record->RetransmitCopy, count);
  *sequence = record->ChunkSequence;
  WriteShared(record->RetransmitPending, 0);
  return count;
}

// Takes every byte placed in the transmit ring as a fresh packet, numbered with the next
// OutSeq (a closed port's 0 stays 0); it is the chunk in flight's packet from now on.
// PortLock held.
LONG TakeFreshPacket(LONG port, PortRecord* record, PUCHAR payload, LONG* sequence) {
  LONG count = TakeTxBytes(port, payload);
  if (count == 0) return 0;
  RtlCopyMemory(record->RetransmitCopy, payload, count);
  record->LastSentCount = count;
  LONG next = ReadShared(PortTable[port].OutSeq);
  if (next != 0) next = NextSeq(next);
  WriteShared(PortTable[port].OutSeq, next);
  record->ChunkSequence = next;
  *sequence = next;
  return count;
}

// Fills the payload of a data packet under the port's PortLock (the write path states the
// discipline); returns its byte count, 0 when there is nothing to send. While a sent chunk
// awaits its acknowledgement only its retransmission goes out: bytes placed behind it wait
// for the write engine, which sends them once the chunk is acknowledged or abandoned. A
// retransmission is decided after its pause: a chunk acknowledged meanwhile is not sent again.
LONG TakeDataPayload(LONG port, PortRecord* record, LONG* sequence) {
  PUCHAR payload = OutboundScratch + LINK_HEADER_SIZE;
  if (ReadShared(record->RetransmitPending)) KeStallExecutionProcessor(RETRANSMIT_PAUSE_US);
  KIRQL oldIrql = KfAcquireSpinLock(&record->PortLock);
  LONG count = 0;
  if (!ReadShared(record->WriteInFlight) || record->ChunkSequence == 0) {
    count = TakeFreshPacket(port, record, payload, sequence);
  } else if (record->RetransmitPending) {
    count = TakeRetransmission(record, payload, sequence);
  }
  KfReleaseSpinLock(&record->PortLock, oldIrql);
  return count;
}

VOID SendDataPacket(LONG port, PassState* pass) {
  PortRecord* record = PortTable[port].PortRecord;
  if (record == NULL) return;
  LONG sequence = 0;
  LONG count = TakeDataPayload(port, record, &sequence);
  if (count == 0) return;  // a mark that finds nothing to send sends nothing
  UCHAR channel = (UCHAR)(ReadShared(PortTable[port].RemoteChannel) & 0xFF);
  EncodeLinkHeader(OutboundScratch, PKT_DATA, channel, (ULONG)count + LINK_HEADER_SIZE,
                   (ULONG)sequence);
  KeStallExecutionProcessor(DATA_PAUSE_US);
  SendScratch(port, (ULONG)count + LINK_HEADER_SIZE, pass);
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
