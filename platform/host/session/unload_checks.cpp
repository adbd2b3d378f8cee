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

namespace host {

namespace {


template <typename Routine>
std::string RoutineName(Routine routine) {
  return verifier::DescribeCode(reinterpret_cast<const void*>(routine));
}

// Outstanding blocks grouped by tag, size and allocating routine.
std::string PoolLeakList() {
  std::map<std::tuple<ULONG, size_t, std::string>, size_t> groups;
  for (const detail::PoolLeak& leak : detail::OutstandingBySite()) {
    groups[{leak.tag, leak.bytes, verifier::RoutineOf(leak.allocatedFrom)}] += leak.blocks;
  }
  std::string list;
  for (const auto& [key, blocks] : groups) {
    if (!list.empty()) list += "; ";
    list += "tag '" + detail::TagText(std::get<0>(key)) + "' " + std::to_string(std::get<1>(key)) +
            " bytes x" + std::to_string(blocks) + " from " + std::get<2>(key);
  }
  return list;
}

std::string TimerList(const std::vector<detail::ArmedTimer>& timers) {
  const int64_t now = detail::Now();
  std::string list;
  for (const detail::ArmedTimer& timer : timers) {
    if (!list.empty()) list += "; ";
    list += "timer " + verifier::DescribeData(timer.timer) + " due in " +
            std::to_string((timer.due - now) / 10000) + " ms";
    if (timer.dpc != nullptr) list += " queueing " + RoutineName(timer.dpc->DeferredRoutine);
  }
  return list;
}

std::string DpcList(const std::vector<detail::DpcCall>& calls) {
  std::string list;
  for (const detail::DpcCall& call : calls) {
    if (!list.empty()) list += "; ";
    list += RoutineName(call.routine) + " (" + verifier::DescribeData(call.dpc) + ")";
  }
  return list;
}

std::string ThreadList(const std::vector<detail::LiveSystemThread>& threads) {
  std::string list;
  for (const detail::LiveSystemThread& thread : threads) {
    if (!list.empty()) list += "; ";
    list += RoutineName(thread.start);
  }
  return list;
}

}  // namespace

LeftoverSummary SummarizeLeftovers() {
  LeftoverSummary summary;
  summary.pool = pool::Outstanding();
  for (const pool::TagUsage& usage : summary.pool) {
    summary.poolBlocks += usage.blocks;
    summary.poolBytes += usage.bytes;
  }
  {
    detail::DispatcherGuard lock(detail::DispatcherLock());
    summary.systemThreadsAlive = detail::LiveSystemThreadsLocked().size();
    summary.timersArmed = detail::ArmedTimerCountLocked();
    summary.dpcsQueuedOrRunning = detail::AliveDpcsLocked().size();
  }
  summary.openHandles = OpenHandleCount();
  return summary;
}

std::string FormatLeftovers(const LeftoverSummary& summary) {
  std::string text = "pool: " + std::to_string(summary.poolBlocks) + " blocks, " +
                     std::to_string(summary.poolBytes) + " bytes\n";
  for (const pool::TagUsage& usage : summary.pool) {
    text += "  tag '" + usage.tagText + "': " + std::to_string(usage.blocks) + " blocks, " +
            std::to_string(usage.bytes) + " bytes\n";
  }
  text += "system threads alive: " + std::to_string(summary.systemThreadsAlive) + "\n";
  text += "timers armed: " + std::to_string(summary.timersArmed) + "\n";
  text += "deferred calls queued or running: " + std::to_string(summary.dpcsQueuedOrRunning) + "\n";
  text += "handles and references open: " + std::to_string(summary.openHandles) + "\n";
  return text;
}

}  // namespace host

namespace host::verifier {

void CheckDriverUnloaded() {
  std::vector<detail::LiveSystemThread> threads;
  std::vector<detail::ArmedTimer> timers;
  std::vector<detail::DpcCall> calls;
  {
    detail::DispatcherGuard lock(detail::DispatcherLock());
    threads = detail::LiveSystemThreadsLocked();
    timers = detail::ArmedTimersLocked();
    calls = detail::AliveDpcsLocked();
  }
  // A thread still running is the likeliest cause of the rest, so it is reported first.
  if (!threads.empty()) {
    Stop("THREAD_ALIVE_AT_UNLOAD", "DriverUnload", "%zu system thread(s) still running: %s",
         threads.size(), ThreadList(threads).c_str());
  }
  if (!timers.empty()) {
    Stop("TIMER_ALIVE_AT_UNLOAD", "DriverUnload", "%zu timer(s) still armed: %s", timers.size(),
         TimerList(timers).c_str());
  }
  if (!calls.empty()) {
    Stop("DPC_ALIVE_AT_UNLOAD", "DriverUnload", "%zu deferred call(s) queued or running: %s",
         calls.size(), DpcList(calls).c_str());
  }
  if (pool::OutstandingBlocks() != 0) {
    Stop("POOL_LEAKED_AT_UNLOAD", "DriverUnload", "%zu pool block(s) outstanding: %s",
         pool::OutstandingBlocks(), PoolLeakList().c_str());
  }
}

}  // namespace host::verifier
