// Memory descriptor lists: IoAllocateMdl, IoFreeMdl, MmProbeAndLockPages, MmUnlockPages. The
// host maps nothing, so an MDL only records the described buffer; locking is bookkeeping the
// verifier checks. Any level up to DISPATCH_LEVEL.
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "host/io/io_manager.h"
#include "host/io/records.h"
#include "host/ke/irql_checks.h"
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
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

}  // namespace detail
}  // namespace host::io

extern "C" {

// Describes Length bytes at VirtualAddress. With a request given, the MDL becomes its
// MdlAddress, or is chained after the ones it has when SecondaryBuffer is set.
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoAllocateMdl");
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

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
  (void)AccessMode;
  (void)Operation;
  host::io::RequireLiveMdl(MemoryDescriptorList, "MDL_NOT_ALLOCATED", "MmProbeAndLockPages");
  if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
    host::verifier::Stop("MDL_ALREADY_LOCKED", "MmProbeAndLockPages", "MDL %p is already locked",
                         static_cast<void*>(MemoryDescriptorList));
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  host::io::RequireLiveMdl(MemoryDescriptorList, "MDL_NOT_ALLOCATED", "MmUnlockPages");
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    host::verifier::Stop("MDL_NOT_LOCKED", "MmUnlockPages", "MDL %p is not locked",
                         static_cast<void*>(MemoryDescriptorList));
  }
  MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

}  // extern "C"
