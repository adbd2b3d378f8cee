// Spin locks: a KSPIN_LOCK holds 0 when free and the owner's token when taken. Acquisition
// raises to DISPATCH_LEVEL and spins (yielding the processor) until the word can be claimed;
// the verifier checks ownership, initialisation and lock order.
#include <atomic>
#include <thread>

#include "host/ke/spin_lock_internal.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {

namespace {

// Owner tokens are addresses of per-thread records, so they are 8-byte aligned; a word with
// low bits set was never initialised (fresh pool, for one, is filled with 0xA5).
bool LooksInitialised(ULONG_PTR word) { return (word & 7) == 0; }

void StopUninitialised(PKSPIN_LOCK lock, ULONG_PTR word, const char* routine,
                       const void* caller) {
  verifier::Stop("SPIN_LOCK_NOT_INITIALIZED", routine,
                 "%s holds 0x%llx, which is neither free nor an owner%s",
                 verifier::DescribeData(lock).c_str(), static_cast<unsigned long long>(word),
                 verifier::CalledFrom(caller).c_str());
}

}  // namespace

KIRQL AcquireSpinLockFor(PKSPIN_LOCK lock, const char* routine, const void* caller) {
  ThreadState& state = CurrentThreadState();
  const ULONG_PTR token = CurrentOwnerToken();
  std::atomic_ref<ULONG_PTR> word(*lock);
  const ULONG_PTR seen = word.load(std::memory_order_relaxed);
  if (seen == token) {
    verifier::Stop("SPIN_LOCK_ALREADY_OWNED", routine, "%s is already held by this thread%s",
                   verifier::DescribeData(lock).c_str(), verifier::CalledFrom(caller).c_str());
  }
  if (!LooksInitialised(seen)) StopUninitialised(lock, seen, routine, caller);
  const KIRQL previous = RaiseIrqlFor(DISPATCH_LEVEL, routine, caller);
  if (!state.heldLocks.empty()) NoteLockOrder(lock, state.heldLocks, routine, caller);
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (word.compare_exchange_weak(expected, token, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
      break;
    }
    if (!LooksInitialised(expected)) StopUninitialised(lock, expected, routine, caller);
    if (spins > 16) std::this_thread::yield();
  }
  state.heldLocks.push_back(lock);
  return previous;
}

bool HeldByCurrentThread(const KSPIN_LOCK* lock) {
  std::atomic_ref<const ULONG_PTR> word(*lock);
  return word.load(std::memory_order_relaxed) == CurrentOwnerToken();
}

void ReleaseSpinLockFor(PKSPIN_LOCK lock, KIRQL newIrql, const char* routine,
                        const void* caller) {
  ThreadState& state = CurrentThreadState();
  std::atomic_ref<ULONG_PTR> word(*lock);
  const ULONG_PTR owner = word.load(std::memory_order_relaxed);
  if (owner != CurrentOwnerToken()) {
    verifier::Stop("SPIN_LOCK_NOT_OWNED", routine, "%s is %s%s",
                   verifier::DescribeData(lock).c_str(),
                   owner == 0 ? "not held at all" : "held by another thread",
                   verifier::CalledFrom(caller).c_str());
  }
  for (auto it = state.heldLocks.rbegin(); it != state.heldLocks.rend(); ++it) {
    if (*it == lock) {
      state.heldLocks.erase(std::next(it).base());
      break;
    }
  }
  word.store(0, std::memory_order_release);
  LowerIrqlFor(newIrql, routine, caller);
}

}  // namespace host::ke::detail

extern "C" {

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  return host::ke::detail::AcquireSpinLockFor(SpinLock, "KfAcquireSpinLock", HOST_CALLER());
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  host::ke::detail::ReleaseSpinLockFor(SpinLock, NewIrql, "KfReleaseSpinLock", HOST_CALLER());
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return host::ke::detail::AcquireSpinLockFor(SpinLock, "KeAcquireSpinLockRaiseToDpc",
                                              HOST_CALLER());
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  host::ke::detail::ReleaseSpinLockFor(SpinLock, NewIrql, "KeReleaseSpinLock", HOST_CALLER());
}

}  // extern "C"
