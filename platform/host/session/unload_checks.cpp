// What a driver leaves behind at unload: the verifier's stopping check and the summary for the
// programs' unload report.
#include "host/session/unload_checks.h"

#include <map>
#include <string>
#include <tuple>

#include "host/ex/pool_registry.h"
#include "host/ke/clock_internal.h"
#include "host/ke/dispatcher.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/timer_queue.h"
#include "host/ob/objects.h"
#include "host/ps/thread_object.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"

namespace host::session {

namespace {


template <typename Routine>
std::string RoutineName(Routine routine) {
  return verifier::DescribeCode(reinterpret_cast<const void*>(routine));
}

// Outstanding blocks grouped by tag, size and allocating routine.
std::string PoolLeakList() {
  std::map<std::tuple<ULONG, size_t, std::string>, size_t> groups;
  for (const ex::detail::PoolLeak& leak : ex::detail::OutstandingBySite()) {
    groups[{leak.tag, leak.bytes, verifier::RoutineOf(leak.allocatedFrom)}] += leak.blocks;
  }
  std::string list;
  for (const auto& [key, blocks] : groups) {
    if (!list.empty()) list += "; ";
    list += "tag '" + ex::detail::TagText(std::get<0>(key)) + "' " +
            std::to_string(std::get<1>(key)) + " bytes x" + std::to_string(blocks) + " from " +
            std::get<2>(key);
  }
  return list;
}

std::string TimerList(const std::vector<ke::detail::ArmedTimer>& timers) {
  const int64_t now = ke::detail::Now();
  std::string list;
  for (const ke::detail::ArmedTimer& timer : timers) {
    if (!list.empty()) list += "; ";
    list += "timer " + verifier::DescribeData(timer.timer) + " due in " +
            std::to_string((timer.due - now) / 10000) + " ms";
    if (timer.dpc != nullptr) list += " queueing " + RoutineName(timer.dpc->DeferredRoutine);
  }
  return list;
}

std::string DpcList(const std::vector<ke::detail::DpcCall>& calls) {
  std::string list;
  for (const ke::detail::DpcCall& call : calls) {
    if (!list.empty()) list += "; ";
    list += RoutineName(call.routine) + " (" + verifier::DescribeData(call.dpc) + ")";
  }
  return list;
}

std::string ThreadList(const std::vector<ps::detail::LiveSystemThread>& threads) {
  std::string list;
  for (const ps::detail::LiveSystemThread& thread : threads) {
    if (!list.empty()) list += "; ";
    list += RoutineName(thread.start);
  }
  return list;
}

}  // namespace

LeftoverSummary SummarizeLeftovers() {
  LeftoverSummary summary;
  summary.pool = ex::Outstanding();
  for (const ex::TagUsage& usage : summary.pool) {
    summary.poolBlocks += usage.blocks;
    summary.poolBytes += usage.bytes;
  }
  {
    ke::detail::DispatcherGuard lock(ke::detail::DispatcherLock());
    summary.systemThreadsAlive = ps::detail::LiveSystemThreadsLocked().size();
    summary.timersArmed = ke::detail::ArmedTimerCountLocked();
    summary.dpcsQueuedOrRunning = ke::detail::AliveDpcsLocked().size();
  }
  summary.openHandles = ob::OpenHandleCount();
  return summary;
}

std::string FormatLeftovers(const LeftoverSummary& summary) {
  std::string text = "pool: " + std::to_string(summary.poolBlocks) + " blocks, " +
                     std::to_string(summary.poolBytes) + " bytes\n";
  for (const ex::TagUsage& usage : summary.pool) {
    text += "  tag '" + usage.tagText + "': " + std::to_string(usage.blocks) + " blocks, " +
            std::to_string(usage.bytes) + " bytes\n";
  }
  text += "system threads alive: " + std::to_string(summary.systemThreadsAlive) + "\n";
  text += "timers armed: " + std::to_string(summary.timersArmed) + "\n";
  text += "deferred calls queued or running: " + std::to_string(summary.dpcsQueuedOrRunning) + "\n";
  text += "handles and references open: " + std::to_string(summary.openHandles) + "\n";
  return text;
}

void CheckDriverUnloaded() {
  std::vector<ps::detail::LiveSystemThread> threads;
  std::vector<ke::detail::ArmedTimer> timers;
  std::vector<ke::detail::DpcCall> calls;
  {
    ke::detail::DispatcherGuard lock(ke::detail::DispatcherLock());
    threads = ps::detail::LiveSystemThreadsLocked();
    timers = ke::detail::ArmedTimersLocked();
    calls = ke::detail::AliveDpcsLocked();
  }
  // A thread still running is the likeliest cause of the rest, so it is reported first.
  if (!threads.empty()) {
    verifier::Stop("THREAD_ALIVE_AT_UNLOAD", "DriverUnload",
                   "%zu system thread(s) still running: %s", threads.size(),
                   ThreadList(threads).c_str());
  }
  if (!timers.empty()) {
    verifier::Stop("TIMER_ALIVE_AT_UNLOAD", "DriverUnload", "%zu timer(s) still armed: %s",
                   timers.size(), TimerList(timers).c_str());
  }
  if (!calls.empty()) {
    verifier::Stop("DPC_ALIVE_AT_UNLOAD", "DriverUnload",
                   "%zu deferred call(s) queued or running: %s", calls.size(),
                   DpcList(calls).c_str());
  }
  if (ex::OutstandingBlocks() != 0) {
    verifier::Stop("POOL_LEAKED_AT_UNLOAD", "DriverUnload", "%zu pool block(s) outstanding: %s",
                   ex::OutstandingBlocks(), PoolLeakList().c_str());
  }
}

}  // namespace host::session
