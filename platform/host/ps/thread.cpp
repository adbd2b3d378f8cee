// System threads: real host threads at PASSIVE_LEVEL, reached by handle through the handle
// table, signalled when they end. A thread ends by returning from its start routine or by
// PsTerminateSystemThread, which jumps back to the host's wrapper below the start routine.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <set>
#include <thread>

#include "host/ke/processor_region.h"
#include "host/ke/thread_state.h"
#include "host/ps/thread_object.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ps::detail {

namespace {

// Where PsTerminateSystemThread takes the calling system thread: back into RunStartRoutine.
// A long jump and not an exception: the frames it leaves are the driver's, which hold nothing
// to release, and in a kernel image they have no unwind tables to throw through.
thread_local std::jmp_buf* tEndOfThread = nullptr;

// Runs the start routine until it returns or its thread terminates itself. Nothing with a
// destructor may live in this frame.
void RunStartRoutine(PKSTART_ROUTINE start, PVOID context) {
  std::jmp_buf end;
  tEndOfThread = &end;
  if (setjmp(end) == 0) start(context);
  tEndOfThread = nullptr;
}

std::set<ThreadObject*>& LiveSystemThreads() {
  static auto* live = new std::set<ThreadObject*>;
  return *live;
}

// Signals the thread object: the thread has ended.
void MarkEnded(ThreadObject* thread) {
  ke::detail::DispatcherGuard lock(ke::detail::DispatcherLock());
  LiveSystemThreads().erase(thread);
  thread->Thread()->Header.SignalState = 1;
  ke::detail::ReleaseWaitersLocked(&thread->Thread()->Header);
}

void RequireCleanEnd(const char* routine, const void* caller) {
  ke::detail::ThreadState& state = ke::detail::CurrentThreadState();
  if (state.irql != PASSIVE_LEVEL || !state.heldLocks.empty()) {
    verifier::Stop("THREAD_ENDED_AT_RAISED_IRQL", routine,
                   "system thread ends at IRQL %u holding %zu spin lock(s)%s", state.irql,
                   state.heldLocks.size(), verifier::CalledFrom(caller).c_str());
  }
}

void SystemThreadMain(std::shared_ptr<ThreadObject> self) {
  ke::detail::ThreadState& state = ke::detail::CurrentThreadState();
  state.systemThread = self.get();
  state.irql = PASSIVE_LEVEL;
  ke::detail::EnterProcessorRegion();
  RunStartRoutine(self->StartRoutine(), self->StartContext());
  const std::string routine = verifier::DescribeCode(reinterpret_cast<void*>(self->StartRoutine()));
  RequireCleanEnd(routine.c_str(), nullptr);
  state.systemThread = nullptr;
  MarkEnded(self.get());
}

// A thread the host did not create (a test's, a program's) gets its thread object on first
// use; the object is signalled when the thread ends.
struct AdoptedThread {
  std::shared_ptr<ThreadObject> object;
  ~AdoptedThread() {
    if (object) MarkEnded(object.get());
  }
};

thread_local AdoptedThread tAdopted;

void InitializeThreadRecord(ThreadObject* thread) {
  KTHREAD* k = thread->Thread();
  k->Header.Type = HOST_THREAD_OBJECT;
  k->Header.Size = static_cast<UCHAR>(sizeof(KTHREAD) / sizeof(LONG));
  k->Header.SignalState = 0;
  InitializeListHead(&k->Header.WaitListHead);
  k->BasePriority = kSystemBasePriority;
  k->HostThread = thread;
}

}  // namespace

ThreadObject::ThreadObject(bool system, PKSTART_ROUTINE start, PVOID context)
    : system_(system), start_(start), context_(context) {
  InitializeThreadRecord(this);
}

std::vector<LiveSystemThread> LiveSystemThreadsLocked() {
  std::vector<LiveSystemThread> live;
  for (ThreadObject* thread : LiveSystemThreads()) {
    live.push_back(LiveSystemThread{thread->StartRoutine(), thread->StartContext(),
                                    thread->Thread()});
  }
  return live;
}

}  // namespace host::ps::detail

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                    PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  using namespace host::ke::detail;
  using namespace host::ps::detail;
  (void)DesiredAccess;
  (void)ObjectAttributes;
  (void)ProcessHandle;
  RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread", HOST_CALLER());
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  auto thread = std::make_shared<ThreadObject>(true, StartRoutine, StartContext);
  {
    DispatcherGuard lock(DispatcherLock());
    LiveSystemThreads().insert(thread.get());
  }
  const HANDLE handle = host::ob::InsertHandle(thread);
  try {
    std::thread(SystemThreadMain, thread).detach();
  } catch (const std::system_error&) {
    {
      DispatcherGuard lock(DispatcherLock());
      LiveSystemThreads().erase(thread.get());
    }
    ZwClose(handle);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = handle;
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(4));
    ClientId->UniqueThread = thread->Thread();
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  using namespace host::ke::detail;
  using namespace host::ps::detail;
  ThreadState& state = CurrentThreadState();
  if (state.systemThread == nullptr) return STATUS_INVALID_PARAMETER;
  RequireCleanEnd("PsTerminateSystemThread", HOST_CALLER());
  state.systemThread->SetExitStatus(ExitStatus);
  std::longjmp(*tEndOfThread, 1);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  using namespace host::ke::detail;
  using namespace host::ps::detail;
  ThreadState& state = CurrentThreadState();
  if (state.systemThread != nullptr) return state.systemThread->Thread();
  if (!tAdopted.object) tAdopted.object = std::make_shared<ThreadObject>(false, nullptr, nullptr);
  return tAdopted.object->Thread();
}

// Records the new base priority and, for the calling thread, asks the host scheduler for the
// like: a thread raised by 16 levels runs 10 nice values lower than before, so that it keeps
// its processor ahead of the ordinary threads its work wakes, as on the platform. Where the
// process may not lower nice values the request changes the record alone.
LONG NTAPI KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment) {
  using namespace host::ke::detail;
  using namespace host::ps::detail;
  LONG previous;
  {
    DispatcherGuard lock(DispatcherLock());
    previous = Thread->BasePriority - kSystemBasePriority;
    Thread->BasePriority = kSystemBasePriority + Increment;
  }
  if (Thread == KeGetCurrentThread() && Increment != previous) {
    const id_t self = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
      setpriority(PRIO_PROCESS, self, std::clamp(nice - (Increment - previous) * 10 / 16, -20, 19));
    }
  }
  return previous;
}

}  // extern "C"
