// Events: notification events stay signalled until reset and release every waiter;
// synchronization events release one waiter and reset themselves.
#include "host/ke/dispatcher.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace {

using namespace host::ke::detail;

void RequireEvent(PRKEVENT event, const char* routine, const void* caller) {
  RequireNoOwedWait(routine, caller);
  const DISPATCHER_HEADER& header = event->Header;
  const bool isEvent = header.Type == HOST_EVENT_NOTIFICATION_OBJECT ||
                       header.Type == HOST_EVENT_SYNCHRONIZATION_OBJECT;
  if (!isEvent || header.WaitListHead.Flink != &event->Header.WaitListHead) {
    host::verifier::Stop("OBJECT_NOT_INITIALIZED", routine, "%s is not an initialised event%s",
                         host::verifier::DescribeData(event).c_str(),
                         host::verifier::CalledFrom(caller).c_str());
  }
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  DispatcherGuard lock(DispatcherLock());
  Event->Header.Type = Type == SynchronizationEvent ? HOST_EVENT_SYNCHRONIZATION_OBJECT
                                                    : HOST_EVENT_NOTIFICATION_OBJECT;
  Event->Header.Absolute = 0;
  Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  RequireEvent(Event, "KeSetEvent", HOST_CALLER());
  DeferredWakes wakes;  // after the lock: the waiter does not block on it again
  DispatcherGuard lock(DispatcherLock());
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  ReleaseWaitersLocked(&Event->Header, &wakes);
  if (Wait) host::ke::detail::OweWait(HOST_CALLER());
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  RequireEvent(Event, "KeResetEvent", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  RequireEvent(Event, "KeClearEvent", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  RequireEvent(Event, "KeReadStateEvent", HOST_CALLER());
  DispatcherGuard lock(DispatcherLock());
  return Event->Header.SignalState;
}

}  // extern "C"
