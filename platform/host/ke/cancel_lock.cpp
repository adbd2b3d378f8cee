// The system-wide cancel spin lock, which guards every request queue, current-request slot and
// cancel routine. It is an ordinary spin lock for the verifier, lock-order checks included.
#include <atomic>
#include <string>

#include "host/ke/released_memory.h"
#include "host/ke/spin_lock_internal.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "kernel.h"

namespace host::ke::detail {

PKSPIN_LOCK CancelSpinLock() {
  alignas(8) static KSPIN_LOCK lock = 0;
  return &lock;
}

namespace {

std::string DescribeCancelSpinLock(const void* address) {
  return address == CancelSpinLock() ? "the cancel spin lock" : std::string();
}

const bool kCancelSpinLockDescribed = host::verifier::RegisterDataDescriber(&DescribeCancelSpinLock);

}  // namespace

}  // namespace host::ke::detail

namespace host::ke {

bool CancelSpinLockHeldByCaller() {
  std::atomic_ref<ULONG_PTR> word(*detail::CancelSpinLock());
  return word.load(std::memory_order_relaxed) == detail::CurrentOwnerToken();
}

}  // namespace host::ke

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = host::ke::detail::AcquireSpinLockFor(host::ke::detail::CancelSpinLock(),
                                               "IoAcquireCancelSpinLock", HOST_CALLER());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  host::ke::detail::ReleaseSpinLockFor(host::ke::detail::CancelSpinLock(), Irql,
                                       "IoReleaseCancelSpinLock", HOST_CALLER());
}

}  // extern "C"
