// Internal to the host: not for driver code, tests or tools.
// Verifier checks of the calling level for the I/O manager and registry routines
//. Each routine names the highest level at which the platform allows it.
#pragma once

#include "host/ddk/ke.h"
#include "host/ke/thread_state.h"
#include "host/verifier/verifier.h"

namespace host::ke {

// Stops with "<violation>" in routine when the caller runs above maximum.
inline void RequireIrqlAtMost(KIRQL maximum, const char* violation, const char* routine) {
  host::ke::detail::RequireNoOwedWait(routine, nullptr);
  KIRQL level = KeGetCurrentIrql();
  if (level > maximum) {
    verifier::Stop(violation, routine, "called at IRQL %u; the highest allowed is %u", level,
                   maximum);
  }
}

}  // namespace host::ke
