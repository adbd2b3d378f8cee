// What the driver leaves behind when it is unloaded: the verifier's stopping check that the
// driver loader runs after the driver's unload routine has returned, and a non-stopping summary
// of the same leftovers, and of handles and object references left open, for the programs'
// unload report.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/ex/pool_control.h"

namespace host::session {

// Stops the host (POOL_LEAKED_AT_UNLOAD, TIMER_ALIVE_AT_UNLOAD, DPC_ALIVE_AT_UNLOAD,
// THREAD_ALIVE_AT_UNLOAD) if pool is outstanding, a timer is armed, a deferred call is queued
// or running, or a system thread made by PsCreateSystemThread has not ended. Returns otherwise.
void CheckDriverUnloaded();

struct LeftoverSummary {
  std::vector<ex::TagUsage> pool;  // outstanding blocks by tag
  size_t poolBlocks = 0;
  size_t poolBytes = 0;
  size_t systemThreadsAlive = 0;
  size_t timersArmed = 0;
  size_t dpcsQueuedOrRunning = 0;
  size_t openHandles = 0;  // handles and body references outstanding
  bool Clean() const {
    return poolBlocks == 0 && systemThreadsAlive == 0 && timersArmed == 0 &&
           dpcsQueuedOrRunning == 0 && openHandles == 0;
  }
};

LeftoverSummary SummarizeLeftovers();
// The summary as lines of text for a person ("pool: 2 blocks, 172 bytes" ...).
std::string FormatLeftovers(const LeftoverSummary& summary);

}  // namespace host::session
