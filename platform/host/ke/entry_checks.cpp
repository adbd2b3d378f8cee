// The host's side of the entry checks (platform/entry_checks.h): the calling thread's IRQL and
// spin locks held against the contract a driver routine declares; a broken one stops the host
// through the verifier.
#include "host/ke/spin_lock_internal.h"
#include "host/ke/thread_state.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke {

void CheckEntryIrql(const char* routine, KIRQL level, bool exact, const char* contract) {
  const KIRQL found = detail::CurrentThreadState().irql;
  if (exact ? found != level : found > level) {
    verifier::Stop("IRQL_CONTRACT_BROKEN", routine, "entered at IRQL %u; its contract is %s", found,
                   contract);
  }
}

void CheckEntryLock(const char* routine, const KSPIN_LOCK* lock, bool held, const char* contract) {
  if (detail::HeldByCurrentThread(lock) != held) {
    verifier::Stop("LOCK_CONTRACT_BROKEN", routine, "entered at IRQL %u %s %s; its contract is %s",
                   detail::CurrentThreadState().irql, held ? "without holding" : "holding",
                   verifier::DescribeData(lock).c_str(), contract);
  }
}

KSPIN_LOCK* CancelSpinLockOfChecks() { return detail::CancelSpinLock(); }

}  // namespace host::ke
