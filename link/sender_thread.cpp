// The sender thread: on every wake-up it visits each port once, starting one port further each
// time, and sends the port's queued control packets (a bounded number) and then at most one
// data packet. Paces
// its output with busy-waits. PASSIVE_LEVEL; it takes a port's PortLock to take the packet of
// its chunk in flight.
#include "link/chunk_in_flight.h"
#include "link/link_threads.h"
#include "link/udp_endpoint.h"

constexpr ULONG CONTROL_PAUSE_US = 800;
constexpr ULONG DATA_PAUSE_US = 1000;
constexpr ULONG RETRANSMIT_PAUSE_US = 100000;
constexpr ULONG CONTROL_PACKETS_PER_VISIT = 16;

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

// Sends the port's control packets in their order, each after its pause. A node leaves the
// queue only once its pause is over: an acknowledgement owed during the pause replaces the
// waiting one's sequence, so a remote whose window two packets filled at once gets one receive
// acknowledgement for both rather than two. A visit sends a bounded number, so that a port
// whose requests keep queueing cannot hold up the others; what is left goes on the next pass.
VOID SendControlPackets(LONG port, PassState* pass) {
  for (ULONG sent = 0; ControlQueued(port); sent++) {
    if (sent == CONTROL_PACKETS_PER_VISIT) {
      KeSetEvent(&SendEvent, 0, FALSE);
      return;
    }
    KeStallExecutionProcessor(CONTROL_PAUSE_US);
    ControlNode* node = TakeControlHead(port);
    if (node == NULL) break;
    ULONG length = DecodeLinkHeader(node->Header).Length;
    if (length < LINK_HEADER_SIZE) length = LINK_HEADER_SIZE;
    if (length > LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX) length = LINK_HEADER_SIZE + CONTROL_PAYLOAD_MAX;
    RtlCopyMemory(OutboundScratch, node->Header, LINK_HEADER_SIZE);
    RtlCopyMemory(OutboundScratch + LINK_HEADER_SIZE, node->Payload, length - LINK_HEADER_SIZE);
    if (node->Header[0] == PKT_OPEN || node->Header[0] == PKT_POLL) {
      SetLinkHeaderSequence(OutboundScratch, (ULONG)ReadShared(PortTable[port].OutSeq));
    }
    SendScratch(port, length, pass);
    FreeControlNode(port, node);
  }
}

// Fills the payload of the port's data packet under its PortLock: the chunk in flight, fresh
// or again (link/chunk_in_flight.cpp states the discipline). Returns its byte count, 0 when
// there is nothing to send. A retransmission is decided after its pause: a chunk acknowledged
// meanwhile is not sent again.
LONG TakeDataPayload(PortRecord* record, LONG* sequence) {
  if (ReadShared(record->RetransmitPending)) KeStallExecutionProcessor(RETRANSMIT_PAUSE_US);
  KIRQL oldIrql = KfAcquireSpinLock(&record->PortLock);
  LONG count = TakeChunkPacket(record, OutboundScratch + LINK_HEADER_SIZE, sequence);
  KfReleaseSpinLock(&record->PortLock, oldIrql);
  return count;
}

VOID SendDataPacket(LONG port, PassState* pass) {
  PortRecord* record = PortTable[port].PortRecord;
  if (record == NULL) return;
  LONG sequence = 0;
  LONG count = TakeDataPayload(record, &sequence);
  if (count == 0) return;  // a mark that finds nothing to send sends nothing
  UCHAR channel = (UCHAR)(ReadShared(PortTable[port].RemoteChannel) & 0xFF);
  EncodeLinkHeader(OutboundScratch, PKT_DATA, channel, (ULONG)count + LINK_HEADER_SIZE,
                   (ULONG)sequence);
  KeStallExecutionProcessor(DATA_PAUSE_US);
  SendScratch(port, (ULONG)count + LINK_HEADER_SIZE, pass);
}

}  // namespace

NTSTATUS SendPass(LONG start, PFILE_OBJECT* failedOn) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
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
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
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
