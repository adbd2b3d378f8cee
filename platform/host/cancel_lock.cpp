// The system-wide cancel spin lock, which guards every request queue, current-request slot and
// cancel routine. It is an ordinary spin lock for the verifier, lock-order checks included.
#include <atomic>

#include "kernel.h"
#include "released_memory.h"
#include "spin_lock_internal.h"
#include "thread_state.h"
#include "verifier_describe.h"

namespace host::detail {

PKSPIN_LOCK CancelSpinLock() {
  alignas(8) static KSPIN_LOCK lock = 0;
  return &lock;
}

}  // namespace host::detail

namespace host {

bool CancelSpinLockHeldByCaller() {
  std::atomic_ref<ULONG_PTR> word(*detail::CancelSpinLock());
  return word.load(std::memory_order_relaxed) == detail::CurrentOwnerToken();
}

}  // namespace host

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = host::detail::AcquireSpinLockFor(host::detail::CancelSpinLock(),
                                           "IoAcquireCancelSpinLock", HOST_CALLER());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  host::detail::ReleaseSpinLockFor(host::detail::CancelSpinLock(), Irql,
                                   "IoReleaseCancelSpinLock", HOST_CALLER());
}

}  // extern "C"
