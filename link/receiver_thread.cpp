// Receiver threads: one per remote server. Each waits for datagrams from its server, maps
// them to their port and applies them under the port's lock. PASSIVE_LEVEL, except the
// dispatch itself.
#include "link/link_threads.h"
#include "link/udp_endpoint.h"

// Longest pause between retries of a failing transport or allocation.
constexpr ULONG RETRY_PAUSE_MAX_MS = 1000;

static ULONG RetryPause(ULONG failures) {
  ULONG pause = 10;
  for (ULONG i = 2; i < failures && pause < RETRY_PAUSE_MAX_MS; i++) pause *= 2;
  return pause < RETRY_PAUSE_MAX_MS ? pause : RETRY_PAUSE_MAX_MS;
}

// Allocates a receiver's buffer, retrying with pauses until it succeeds or unload begins.
static PUCHAR AllocateReceiverBuffer(POOL_TYPE pool) {
  for (ULONG failures = 1;; failures++) {
    auto buffer = (PUCHAR)ExAllocatePoolWithTag(pool, RECEIVE_BUFFER_SIZE, POOL_TAG);
    if (buffer != NULL || ReadShared(Unloading)) return buffer;
    LinkPause(RetryPause(failures + 1));
  }
}

VOID DeliverInboundDatagram(const UCHAR* datagram, ULONG length, ULONG source, PUCHAR copy) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  if (length < LINK_HEADER_SIZE) return;
  LONG port = FindInboundPort(source, datagram[1]);
  if (port < 0) return;
  RtlCopyMemory(copy, datagram, length);
  PortRecord* record = PortTable[port].PortRecord;
  KIRQL oldIrql = KfAcquireSpinLock(&record->PortLock);
  DispatchInboundPacket(port, copy, length);
  KfReleaseSpinLock(&record->PortLock, oldIrql);
}

// What a receiver does after a receive that did not succeed; FALSE when it is to stop.
// - An oversized datagram is the sender's fault: it is dropped and the receiver receives
//   again on the same endpoint.
// - A receive ended because another thread's reopen retired its address object: the receiver
//   receives again at once on the published object (no reopen of its own, no pause): the
//   reopen published that object before it closed the old one.
// - Any other failure is the transport's: the endpoint is reopened; a transport that keeps
//   failing is retried with growing pauses instead of a loop at the receivers' raised priority.
static BOOLEAN AfterFailedReceive(NTSTATUS status, PFILE_OBJECT object, BOOLEAN retired,
                                  ULONG* failures) {
  if (IsOversizedDatagram(status)) return TRUE;
  if (ReadShared(Unloading)) return FALSE;
  if (retired) return TRUE;
  ReopenUdpEndpoint(object);
  if (++*failures > 1) LinkPause(RetryPause(*failures));
  return TRUE;
}

VOID NTAPI ReceiverThread(PVOID remoteAddress) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ULONG remote = (ULONG)(ULONG_PTR)remoteAddress;
  KeSetBasePriorityThread(KeGetCurrentThread(), 16);

  PUCHAR buffer = AllocateReceiverBuffer(PagedPool);
  PUCHAR copy = buffer != NULL ? AllocateReceiverBuffer(NonPagedPool) : NULL;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG failures = 0;
  while (copy != NULL) {
    RtlZeroMemory(buffer, RECEIVE_BUFFER_SIZE);
    ULONG length = RECEIVE_BUFFER_SIZE;
    ULONG source = 0;
    PFILE_OBJECT object = AcquireUdpAddress();
    status = ReceiveDatagram(object, LINK_PORT, &source, buffer, &length, remote);
    BOOLEAN retired = (BOOLEAN)(!NT_SUCCESS(status) && IsRetiredUdpAddress(object));
    ReleaseUdpAddress(object);
    if (NT_SUCCESS(status)) {
      failures = 0;
      DeliverInboundDatagram(buffer, length, source, copy);
    } else if (!AfterFailedReceive(status, object, retired, &failures)) {
      break;
    }
    if (ReadShared(Unloading)) break;
  }
  if (copy != NULL) ExFreePool(copy);
  if (buffer != NULL) ExFreePool(buffer);
  PsTerminateSystemThread(status);
}
