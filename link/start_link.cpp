// Start and stop of the link engine.
#include "link/link_threads.h"
#include "link/udp_endpoint.h"

constexpr ACCESS_MASK THREAD_ACCESS = 0x001F03FF;  // THREAD_ALL_ACCESS

namespace {

PKTHREAD LinkThreads[1 + MAX_PORTS];
LONG LinkThreadsStarted;
KEVENT LinkStopEvent;  // notification event, set when unload begins

// Starts one link thread and keeps a reference to it, so that unload can wait for its end.
VOID StartLinkThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ACCESS, NULL, NULL, NULL, routine, context);
  if (!NT_SUCCESS(status)) return;
  PVOID thread = NULL;
  status = ObReferenceObjectByHandle(handle, THREAD_ACCESS, NULL, KernelMode, &thread, NULL);
  ZwClose(handle);
  if (NT_SUCCESS(status)) LinkThreads[LinkThreadsStarted++] = (PKTHREAD)thread;
}

VOID StartReceivers() {
  ULONG addresses[MAX_PORTS];
  LONG count = 0;
  LONG ports = MaxPort < MAX_PORTS ? MaxPort : MAX_PORTS;
  for (LONG i = 0; i < ports; i++) {
    ULONG address = PortTable[i].RemoteAddress;
    if (address == 0) continue;
    BOOLEAN known = FALSE;
    for (LONG j = 0; j < count; j++) known = (BOOLEAN)(known || addresses[j] == address);
    if (!known) addresses[count++] = address;
  }
  ReceiverCount = count;
  for (LONG j = 0; j < count; j++) StartLinkThread(ReceiverThread, (PVOID)(ULONG_PTR)addresses[j]);
}

}  // namespace

VOID LinkPause(ULONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)milliseconds * 10000;
  KeWaitForSingleObject(&LinkStopEvent, Executive, KernelMode, FALSE, &timeout);
}

LONG LinkThreadCount() { return LinkThreadsStarted; }

NTSTATUS StartLink() {
  InitializeControlQueues();
  KeInitializeEvent(&SendEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&LinkStopEvent, NotificationEvent, FALSE);
  LinkThreadsStarted = 0;
  InitializeUdpEndpoint();
  OpenUdpEndpoint();
  StartLinkThread(SenderThread, NULL);
  StartReceivers();
  return STATUS_SUCCESS;
}

VOID StopLink() {
  KeSetEvent(&LinkStopEvent, 0, FALSE);
  KeSetEvent(&SendEvent, 16, FALSE);
  ShutdownUdpEndpoint();
  for (LONG i = 0; i < LinkThreadsStarted; i++) {
    KeWaitForSingleObject(LinkThreads[i], Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(LinkThreads[i]);
    LinkThreads[i] = NULL;
  }
  LinkThreadsStarted = 0;
  ReleaseUdpEndpoint();
}
