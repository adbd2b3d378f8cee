// Memory descriptor lists: IoAllocateMdl, IoFreeMdl, MmProbeAndLockPages, MmUnlockPages,
// MmBuildMdlForNonPagedPool. The host maps nothing, so an MDL only records the described buffer;
// locking is bookkeeping the verifier checks, against what the pool knows of the memory: a
// driver built without structured exception handling may describe pageable memory only by
// probing and locking it, and that raises an exception when a page cannot be brought in. Any
// level up to DISPATCH_LEVEL.
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "host/ex/pool_registry.h"
#include "host/io/io_manager.h"
#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "host/verifier/describe.h"
#include "host/verifier/failure_countdown.h"
#include "kernel.h"

namespace host::io {
namespace {

constexpr ULONG_PTR kPageSize = 4096;

std::mutex mdlLock;
std::unordered_set<PMDL>& LiveMdls() {
  static std::unordered_set<PMDL> live;
  return live;
}

verifier::FailureCountdown mdlFailures;

void RequireLiveMdl(PMDL mdl, const char* violation, const char* routine) {
  std::lock_guard lock(mdlLock);
  if (LiveMdls().count(mdl) == 0) {
    verifier::Stop(violation, routine, "%p is not a live MDL", static_cast<void*>(mdl));
  }
}

// An MDL built for non-paged pool describes pages that were never locked: it may not be
// locked or unlocked.
void RefuseNonPagedPoolMdl(PMDL mdl, const char* routine) {
  if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
    verifier::Stop("MDL_BUILT_FOR_NONPAGED_POOL", routine,
                   "MDL %p was built by MmBuildMdlForNonPagedPool: its pages are neither locked "
                   "nor unlocked", static_cast<void*>(mdl));
  }
}

}  // namespace

void FailNthMdlAllocation(size_t nth) { mdlFailures.Arm(nth); }

void* MdlBuffer(PMDL mdl) { return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset; }

size_t OutstandingMdls() {
  std::lock_guard lock(mdlLock);
  return LiveMdls().size();
}

namespace detail {

void ReleaseMdls(PIRP irp) {
  PMDL mdl = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  while (mdl != nullptr) {
    PMDL next = mdl->Next;
    // As the platform's completion does: every MDL of the request is unlocked, so each must
    // have been locked.
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

}  // namespace detail
}  // namespace host::io

extern "C" {

// Describes Length bytes at VirtualAddress. With a request given, the MDL becomes its
// MdlAddress, or is chained after the ones it has when SecondaryBuffer is set. Quota charging
// is the system's own (drivers pass FALSE) and is not modelled: asking for it stops.
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoAllocateMdl");
  if (ChargeQuota) host::verifier::Stop("MDL_QUOTA_CHARGED", "IoAllocateMdl", "drivers pass ChargeQuota FALSE");
  if (host::io::mdlFailures.Fails()) return nullptr;
  auto* mdl = new MDL{};
  auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  mdl->Size = static_cast<CSHORT>(sizeof(MDL));
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(host::io::kPageSize - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (host::io::kPageSize - 1));
  mdl->ByteCount = Length;
  mdl->MappedSystemVa = VirtualAddress;
  if (Irp != nullptr) {
    if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    } else {
      Irp->MdlAddress = mdl;
    }
  }
  std::lock_guard lock(host::io::mdlLock);
  host::io::LiveMdls().insert(mdl);
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  {
    std::lock_guard lock(host::io::mdlLock);
    if (host::io::LiveMdls().erase(Mdl) == 0) {
      host::verifier::Stop("MDL_FREED_TWICE", "IoFreeMdl", "%p is not a live MDL",
                           static_cast<void*>(Mdl));
    }
  }
  delete Mdl;
}

// A driver's pool block that is pageable stops the host: its pages may fail to come in, and the
// exception that raises has no handler in a driver built without structured exception handling.
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
  (void)AccessMode;
  (void)Operation;
  const char* routine = "MmProbeAndLockPages";
  host::io::RequireLiveMdl(MemoryDescriptorList, "MDL_NOT_ALLOCATED", routine);
  host::io::RefuseNonPagedPoolMdl(MemoryDescriptorList, routine);
  if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
    host::verifier::Stop("MDL_ALREADY_LOCKED", routine, "MDL %p is already locked",
                         static_cast<void*>(MemoryDescriptorList));
  }
  const void* buffer = host::io::MdlBuffer(MemoryDescriptorList);
  auto block = host::ex::detail::PoolBlockAt(buffer);
  if (block && host::ex::detail::IsPagedPoolType(block->type)) {
    host::verifier::Stop("PAGED_POOL_PROBED_WITHOUT_HANDLER", routine,
                         "MDL %p describes %s, paged pool: locking it raises an exception when a "
                         "page cannot be brought in, and the driver has no handler for it%s",
                         static_cast<void*>(MemoryDescriptorList),
                         host::verifier::DescribeData(buffer).c_str(),
                         host::verifier::CalledFrom(HOST_CALLER()).c_str());
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

// Only for a buffer in one non-paged pool block: pageable pool, a stack or any other memory
// stops the host.
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  const char* routine = "MmBuildMdlForNonPagedPool";
  host::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", routine);
  host::io::RequireLiveMdl(MemoryDescriptorList, "MDL_NOT_ALLOCATED", routine);
  if (MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
    host::verifier::Stop("MDL_ALREADY_LOCKED", routine, "MDL %p already describes resident pages",
                         static_cast<void*>(MemoryDescriptorList));
  }
  auto* buffer = static_cast<const char*>(host::io::MdlBuffer(MemoryDescriptorList));
  const ULONG bytes = MemoryDescriptorList->ByteCount;
  auto block = host::ex::detail::PoolBlockAt(buffer);
  if (!block || host::ex::detail::IsPagedPoolType(block->type) ||
      bytes > block->bytes - static_cast<size_t>(buffer - block->start)) {
    host::verifier::Stop("MDL_NOT_NONPAGED_POOL", routine,
                         "MDL %p describes %lu bytes at %s, not inside one non-paged pool block%s",
                         static_cast<void*>(MemoryDescriptorList), static_cast<unsigned long>(bytes),
                         host::verifier::DescribeData(buffer).c_str(),
                         host::verifier::CalledFrom(HOST_CALLER()).c_str());
  }
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = const_cast<char*>(buffer);
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  host::io::RequireLiveMdl(MemoryDescriptorList, "MDL_NOT_ALLOCATED", "MmUnlockPages");
  host::io::RefuseNonPagedPoolMdl(MemoryDescriptorList, "MmUnlockPages");
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    host::verifier::Stop("MDL_NOT_LOCKED", "MmUnlockPages", "MDL %p is not locked",
                         static_cast<void*>(MemoryDescriptorList));
  }
  MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

}  // extern "C"
