// Internal to the host: not for driver code, tests or tools.
// Thread objects: the KTHREAD that handles and waits refer to, as a host object, and the
// record of the system threads still running.
#pragma once

#include <memory>
#include <vector>

#include "host/ke/dispatcher.h"
#include "host/ob/objects.h"

namespace host::ps::detail {

class ThreadObject final : public ob::Object {
 public:
  ThreadObject(bool system, PKSTART_ROUTINE start, PVOID context);
  void* Body() override { return &kthread_; }
  PKTHREAD Thread() { return &kthread_; }
  bool IsSystem() const { return system_; }
  PKSTART_ROUTINE StartRoutine() const { return start_; }
  PVOID StartContext() const { return context_; }
  void SetExitStatus(NTSTATUS status) { exitStatus_ = status; }
  NTSTATUS ExitStatus() const { return exitStatus_; }

 private:
  KTHREAD kthread_{};
  const bool system_;
  const PKSTART_ROUTINE start_;
  const PVOID context_;
  NTSTATUS exitStatus_ = STATUS_SUCCESS;
};

// Base priority of the system process, to which KeSetBasePriorityThread adds its increment.
constexpr LONG kSystemBasePriority = 8;

struct LiveSystemThread {
  PKSTART_ROUTINE start;
  PVOID context;
  PKTHREAD thread;
};

// System threads created by PsCreateSystemThread that have not ended (dispatcher lock held).
std::vector<LiveSystemThread> LiveSystemThreadsLocked();

}  // namespace host::ps::detail
