// Start and stop of the link engine.
#include "link/link_threads.h"
#include "link/udp_endpoint.h"

constexpr ACCESS_MASK THREAD_ACCESS = 0x001F03FF;  // THREAD_ALL_ACCESS

namespace {

// Handles of the link threads started, kept open until unload has waited for each thread's
// end. A thread is waited for through the handle its creation returned, so that every thread
// that runs is waited for: there is no second step (a reference) that could fail after the
// thread has started.
HANDLE LinkThreads[1 + MAX_PORTS];
LONG LinkThreadsStarted;

VOID StartLinkThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ACCESS, NULL, NULL, NULL, routine, context);
  if (NT_SUCCESS(status)) LinkThreads[LinkThreadsStarted++] = handle;
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

KEVENT LinkStopEvent;

VOID LinkPause(ULONG milliseconds) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(LONGLONG)milliseconds * 10000;
  KeWaitForSingleObject(&LinkStopEvent, Executive, KernelMode, FALSE, &timeout);
}

LONG LinkThreadCount() { return LinkThreadsStarted; }

NTSTATUS StartLink() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
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
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KeSetEvent(&LinkStopEvent, 0, FALSE);
  KeSetEvent(&SendEvent, 16, FALSE);
  ShutdownUdpEndpoint();
  for (LONG i = 0; i < LinkThreadsStarted; i++) {
    ZwWaitForSingleObject(LinkThreads[i], FALSE, NULL);
    ZwClose(LinkThreads[i]);
    LinkThreads[i] = NULL;
  }
  LinkThreadsStarted = 0;
  ReleaseUdpEndpoint();
}
