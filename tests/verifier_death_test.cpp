// The verifier's stops: each check of the executive stops the host with a message naming the
// violation and the kernel routine, and where it can, the driver routine that called. Every
// case provokes its stop entirely inside the child, so the parent has nothing to undo.
#include <gtest/gtest.h>

#include "host/ke/waiter_count.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "support/executive_session.h"

constexpr ULONG kDriverTag = 0x206B6444;  // "Ddk "

// Exported, so that the verifier can name it as the calling driver routine.
extern "C" void VerifierTestTakesLockTwice(PKSPIN_LOCK lock) {
  KIRQL first;
  KIRQL second;
  KeAcquireSpinLock(lock, &first);
  KeAcquireSpinLock(lock, &second);
}

namespace {

using testsupport::kSecond;

void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL a;
  KIRQL b;
  KeAcquireSpinLock(first, &a);
  KeAcquireSpinLock(second, &b);
  KeReleaseSpinLock(second, b);
  KeReleaseSpinLock(first, a);
}

PKTIMER PoolTimer() {
  return static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kDriverTag));
}

void ArmFor(PKTIMER timer, int64_t seconds) {
  LARGE_INTEGER due;
  due.QuadPart = -seconds * kSecond;
  KeSetTimer(timer, due, nullptr);
}

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

VOID NTAPI BlockForever(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

struct Stop {
  const char* name;
  void (*provoke)();
  const char* pattern;
};

void PrintTo(const Stop& stop, std::ostream* out) { *out << stop.name; }

const Stop kStops[] = {
    {"SpinLockTakenTwice", [] { KSPIN_LOCK lock = 0; VerifierTestTakesLockTwice(&lock); },
     "HOST VERIFIER STOP: SPIN_LOCK_ALREADY_OWNED in KfAcquireSpinLock: .*"
     "called from VerifierTestTakesLockTwice"},
    {"SpinLockReleasedByANonOwner", [] { KSPIN_LOCK lock = 0; KeReleaseSpinLock(&lock, PASSIVE_LEVEL); },
     "SPIN_LOCK_NOT_OWNED in KfReleaseSpinLock: .*not held"},
    {"SpinLockNeverInitialised",
     [] {
       KIRQL old;
       KeAcquireSpinLock(static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag)), &old);
     },
     "SPIN_LOCK_NOT_INITIALIZED in KfAcquireSpinLock: offset 0x0 in pool block"},
    {"LockOrderCycleWithTheCancelLock",
     [] {
       KSPIN_LOCK port = 0;
       KIRQL portOld;
       KIRQL cancelOld;
       KeAcquireSpinLock(&port, &portOld);
       IoAcquireCancelSpinLock(&cancelOld);
       IoReleaseCancelSpinLock(cancelOld);
       KeReleaseSpinLock(&port, portOld);
       IoAcquireCancelSpinLock(&cancelOld);
       KeAcquireSpinLock(&port, &portOld);
     },
     "LOCK_ORDER_CYCLE in KfAcquireSpinLock: taking .* while holding the cancel spin lock"},
    {"LockOrderCycleThroughAThirdLock",
     [] { KSPIN_LOCK a = 0, b = 0, c = 0; TakeInOrder(&a, &b); TakeInOrder(&b, &c); TakeInOrder(&c, &a); },
     "LOCK_ORDER_CYCLE in KfAcquireSpinLock: .* -> .* -> "},
    {"LoweringToAHigherLevel", [] { KeLowerIrql(DISPATCH_LEVEL); }, "IRQL_NOT_LESS_OR_EQUAL in KfLowerIrql"},
    {"LeavingDispatchLevelWhileHoldingASpinLock",
     [] {
       KSPIN_LOCK first = 0, second = 0;
       KIRQL firstOld, secondOld;
       KeAcquireSpinLock(&first, &firstOld);
       KeAcquireSpinLock(&second, &secondOld);
       KeReleaseSpinLock(&first, firstOld);
     },
     "SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL in KfReleaseSpinLock"},
    {"WaitWithoutTimeOutAtDispatchLevel",
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       KfRaiseIrql(DISPATCH_LEVEL);
       KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     },
     "WAIT_AT_DISPATCH_LEVEL in KeWaitForSingleObject: a wait without time-out"},
    {"AlertableWait",
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, TRUE);
       KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr);
     },
     "ALERTABLE_WAIT_NOT_MODELLED in KeWaitForSingleObject"},
    {"PagedAllocationAtDispatchLevel",
     [] { KfRaiseIrql(DISPATCH_LEVEL); ExAllocatePoolWithTag(PagedPool, 16, kDriverTag); },
     "PAGED_POOL_AT_DISPATCH_LEVEL in ExAllocatePoolWithTag"},
    {"PoolFreedTwice",
     [] {
       void* block = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
       ExFreePool(block);
       ExFreePool(block);
     },
     "POOL_FREED_TWICE in ExFreePool: .* is not a live pool block"},
    {"FreeOfAPointerInsideABlock",
     [] { ExFreePool(static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag)) + 8); },
     "POOL_FREED_TWICE in ExFreePool"},
    {"PoolFreedWithAnotherTag",
     [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag), 0x74736554); },
     "POOL_FOREIGN_TAG in ExFreePoolWithTag: block .* has tag 'Ddk ', freed with tag 'Test'"},
    {"PoolFreedWhileHoldingAnArmedTimer",
     [] { PKTIMER timer = PoolTimer(); KeInitializeTimer(timer); ArmFor(timer, 1); ExFreePool(timer); },
     "TIMER_ALIVE_AT_POOL_FREE in ExFreePool"},
    {"TimerNeverInitialised", [] { ArmFor(PoolTimer(), 1); }, "OBJECT_NOT_INITIALIZED in KeSetTimer"},
    {"PoolLeakedAtUnload",
     [] {
       ExAllocatePoolWithTag(NonPagedPool, 132, kDriverTag);
       ExAllocatePoolWithTag(NonPagedPool, 132, kDriverTag);
       host::verifier::CheckDriverUnloaded();
     },
     "POOL_LEAKED_AT_UNLOAD in DriverUnload: 2 pool block\\(s\\) outstanding: tag 'Ddk ' 132 bytes x2"},
    {"TimerArmedAtUnload",
     [] { KTIMER timer; KeInitializeTimer(&timer); ArmFor(&timer, 8); host::verifier::CheckDriverUnloaded(); },
     "TIMER_ALIVE_AT_UNLOAD in DriverUnload: 1 timer\\(s\\) still armed: .*due in 8000 ms"},
    {"DeferredCallQueuedAtUnload",
     [] {
       KDPC dpc;
       KeInitializeDpc(&dpc, Nothing, nullptr);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
       host::verifier::CheckDriverUnloaded();
     },
     "DPC_ALIVE_AT_UNLOAD in DriverUnload: 1 deferred call\\(s\\) queued or running"},
    {"SystemThreadAliveAtUnload",
     [] {
       static KEVENT never;
       KeInitializeEvent(&never, NotificationEvent, FALSE);
       HANDLE handle;
       PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, BlockForever, &never);
       while (host::WaitersOn(&never) == 0) {
       }
       host::verifier::CheckDriverUnloaded();
     },
     "THREAD_ALIVE_AT_UNLOAD in DriverUnload: 1 system thread\\(s\\) still running"},
    {"DereferenceOfAnUnreferencedObject",
     [] { KEVENT notAnObject; ObDereferenceObject(&notAnObject); },
     "OBJECT_REFERENCE_UNDERFLOW in ObfDereferenceObject"},
};

class Verifier : public testsupport::ManualExecutive, public ::testing::WithParamInterface<Stop> {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ManualExecutive::SetUp();
  }
};

TEST_P(Verifier, Stops) { EXPECT_DEATH(GetParam().provoke(), GetParam().pattern); }

INSTANTIATE_TEST_SUITE_P(EachCheck, Verifier, ::testing::ValuesIn(kStops),
                         [](const ::testing::TestParamInfo<Stop>& info) { return info.param.name; });

using VerifierUnload = testsupport::ManualExecutive;

TEST_F(VerifierUnload, CleanUnloadPasses) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  ArmFor(&timer, 1);
  KeCancelTimer(&timer);
  host::verifier::CheckDriverUnloaded();
  EXPECT_TRUE(host::SummarizeLeftovers().Clean());
}

}  // namespace
