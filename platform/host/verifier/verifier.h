// Internal to the host: not for driver code, tests or tools.
// The host's verifier: the user-mode counterpart of the platform's driver verifier. Each check
// that fails stops the host like a bug check, with a message naming the violation and the
// kernel routine in which it was seen. Always on.
#pragma once

#include <cstdarg>

namespace host::verifier {

// Stops the host: prints "*** HOST VERIFIER STOP: <violation> in <routine>: <details>" to
// standard error and aborts. Violation names are upper-case words such as
// SPIN_LOCK_ALREADY_OWNED, LOCK_ORDER_CYCLE, WAIT_AT_DISPATCH_LEVEL, PAGED_POOL_AT_DISPATCH_LEVEL,
// TRANSPORT_CALL_AT_DISPATCH_LEVEL, IRP_COMPLETED_TWICE, IRP_COMPLETED_WITH_CANCEL_ROUTINE,
// POOL_FREED_TWICE, POOL_LEAKED_AT_UNLOAD, TIMER_ALIVE_AT_UNLOAD, DPC_ALIVE_AT_UNLOAD,
// THREAD_ALIVE_AT_UNLOAD, and IRQL_CONTRACT_BROKEN and LOCK_CONTRACT_BROKEN from the driver
// routines' entry checks (platform/entry_checks.h).
[[noreturn]] void Stop(const char* violation, const char* routine, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace host::verifier
