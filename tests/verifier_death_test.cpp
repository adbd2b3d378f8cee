// The verifier's stops: each check of the executive stops the host with a message naming the
// violation and the kernel routine, and where it can, the driver routine that called.
#include <gtest/gtest.h>

#include "host/unload_checks.h"
#include "host/waiter_count.h"
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

using testing_support::kSecond;

class Verifier : public testing_support::ManualExecutive {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ManualExecutive::SetUp();
  }
};

void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL a;
  KIRQL b;
  KeAcquireSpinLock(first, &a);
  KeAcquireSpinLock(second, &b);
  KeReleaseSpinLock(second, b);
  KeReleaseSpinLock(first, a);
}

VOID NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(Verifier, SpinLockTakenTwiceByOneThreadNamesTheCaller) {
  KSPIN_LOCK lock = 0;
  EXPECT_DEATH(VerifierTestTakesLockTwice(&lock),
               "HOST VERIFIER STOP: SPIN_LOCK_ALREADY_OWNED in KfAcquireSpinLock: .*"
               "called from VerifierTestTakesLockTwice");
}

TEST_F(Verifier, SpinLockReleasedByANonOwner) {
  KSPIN_LOCK lock = 0;
  EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL),
               "SPIN_LOCK_NOT_OWNED in KfReleaseSpinLock: .*not held");
}

TEST_F(Verifier, SpinLockNeverInitialised) {
  auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK),
                                                              kDriverTag));
  KIRQL old;
  EXPECT_DEATH(KeAcquireSpinLock(lock, &old),
               "SPIN_LOCK_NOT_INITIALIZED in KfAcquireSpinLock: offset 0x0 in pool block");
  ExFreePool(lock);
}

TEST_F(Verifier, LockOrderCycleBetweenTwoLocks) {
  KSPIN_LOCK a = 0;
  KSPIN_LOCK b = 0;
  TakeInOrder(&a, &b);
  TakeInOrder(&a, &b);
  EXPECT_DEATH(TakeInOrder(&b, &a), "LOCK_ORDER_CYCLE in KfAcquireSpinLock");
}

TEST_F(Verifier, LockOrderCycleWithTheCancelLock) {
  KSPIN_LOCK port = 0;
  KIRQL portOld;
  KIRQL cancelOld;
  KeAcquireSpinLock(&port, &portOld);
  IoAcquireCancelSpinLock(&cancelOld);
  IoReleaseCancelSpinLock(cancelOld);
  KeReleaseSpinLock(&port, portOld);
  EXPECT_DEATH(
      {
        IoAcquireCancelSpinLock(&cancelOld);
        KeAcquireSpinLock(&port, &portOld);
      },
      "LOCK_ORDER_CYCLE in KfAcquireSpinLock: taking .* while holding the cancel spin lock");
}

TEST_F(Verifier, LockOrderCycleThroughAThirdLock) {
  KSPIN_LOCK a = 0;
  KSPIN_LOCK b = 0;
  KSPIN_LOCK c = 0;
  TakeInOrder(&a, &b);
  TakeInOrder(&b, &c);
  EXPECT_DEATH(TakeInOrder(&c, &a), "LOCK_ORDER_CYCLE in KfAcquireSpinLock: .* -> .* -> ");
}

TEST_F(Verifier, LoweringToAHigherLevel) {
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL in KfLowerIrql");
}

TEST_F(Verifier, LeavingDispatchLevelWhileHoldingASpinLock) {
  KSPIN_LOCK first = 0;
  KSPIN_LOCK second = 0;
  KIRQL firstOld;
  KIRQL secondOld;
  KeAcquireSpinLock(&first, &firstOld);
  KeAcquireSpinLock(&second, &secondOld);
  EXPECT_DEATH(KeReleaseSpinLock(&first, firstOld),
               "SPIN_LOCK_HELD_BELOW_DISPATCH_LEVEL in KfReleaseSpinLock");
  KeReleaseSpinLock(&second, secondOld);
  KeReleaseSpinLock(&first, firstOld);
}

TEST_F(Verifier, WaitWithoutTimeOutAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK lock = 0;
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
               "WAIT_AT_DISPATCH_LEVEL in KeWaitForSingleObject: a wait without time-out");
  KeReleaseSpinLock(&lock, old);
}

TEST_F(Verifier, WaitWithNonZeroTimeOutAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -1;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
               "WAIT_AT_DISPATCH_LEVEL in KeWaitForSingleObject: a wait with a non-zero");
  KeLowerIrql(old);
}

TEST_F(Verifier, PagedAllocationAtDispatchLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 16, kDriverTag),
               "PAGED_POOL_AT_DISPATCH_LEVEL in ExAllocatePoolWithTag");
  void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
  EXPECT_NE(nonPaged, nullptr);
  KeLowerIrql(old);
  ExFreePool(nonPaged);
}

TEST_F(Verifier, PoolFreedTwice) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
  ExFreePool(block);
  EXPECT_DEATH(ExFreePool(block), "POOL_FREED_TWICE in ExFreePool: .* is not a live pool block");
}

TEST_F(Verifier, FreeOfAPointerInsideABlock) {
  auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag));
  EXPECT_DEATH(ExFreePool(block + 8), "POOL_FREED_TWICE in ExFreePool");
  ExFreePool(block);
}

TEST_F(Verifier, PoolFreedWithAnotherTag) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, 0x74736554),
               "POOL_FOREIGN_TAG in ExFreePoolWithTag: block .* has tag 'Ddk ', freed with tag "
               "'Test'");
  ExFreePoolWithTag(block, kDriverTag);
}

TEST_F(Verifier, PoolFreedWhileHoldingAnArmedTimer) {
  auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER),
                                                           kDriverTag));
  KeInitializeTimer(timer);
  LARGE_INTEGER due;
  due.QuadPart = -kSecond;
  KeSetTimer(timer, due, nullptr);
  EXPECT_DEATH(ExFreePool(timer), "TIMER_ALIVE_AT_POOL_FREE in ExFreePool");
  KeCancelTimer(timer);
  ExFreePool(timer);
}

TEST_F(Verifier, TimerNeverInitialised) {
  auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER),
                                                           kDriverTag));
  LARGE_INTEGER due;
  due.QuadPart = -kSecond;
  EXPECT_DEATH(KeSetTimer(timer, due, nullptr), "OBJECT_NOT_INITIALIZED in KeSetTimer");
  ExFreePool(timer);
}

TEST_F(Verifier, CleanUnloadPasses) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -kSecond;
  KeSetTimer(&timer, due, nullptr);
  KeCancelTimer(&timer);
  host::verifier::CheckDriverUnloaded();
  EXPECT_TRUE(host::SummarizeLeftovers().Clean());
}

TEST_F(Verifier, PoolLeakedAtUnloadListsTagSizeAndCount) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 132, kDriverTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 132, kDriverTag);
  EXPECT_DEATH(host::verifier::CheckDriverUnloaded(),
               "POOL_LEAKED_AT_UNLOAD in DriverUnload: 2 pool block\\(s\\) outstanding: "
               "tag 'Ddk ' 132 bytes x2");
  ExFreePool(a);
  ExFreePool(b);
}

TEST_F(Verifier, TimerArmedAtUnload) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -8 * kSecond;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_DEATH(host::verifier::CheckDriverUnloaded(),
               "TIMER_ALIVE_AT_UNLOAD in DriverUnload: 1 timer\\(s\\) still armed: .*due in 8000 ms");
  KeCancelTimer(&timer);
}

TEST_F(Verifier, DeferredCallQueuedAtUnload) {
  KDPC dpc;
  KeInitializeDpc(&dpc, Nothing, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_DEATH(host::verifier::CheckDriverUnloaded(),
               "DPC_ALIVE_AT_UNLOAD in DriverUnload: 1 deferred call\\(s\\) queued or running");
  KeRemoveQueueDpc(&dpc);
}

VOID NTAPI BlockForever(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(Verifier, SystemThreadAliveAtUnload) {
  EXPECT_DEATH(
      {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, BlockForever, &never);
        while (host::WaitersOn(&never) == 0) {
        }
        host::verifier::CheckDriverUnloaded();
      },
      "THREAD_ALIVE_AT_UNLOAD in DriverUnload: 1 system thread\\(s\\) still running");
}

TEST_F(Verifier, DereferenceOfAnUnreferencedObject) {
  KEVENT notAnObject;
  EXPECT_DEATH(ObDereferenceObject(&notAnObject),
               "OBJECT_REFERENCE_UNDERFLOW in ObfDereferenceObject");
}

}  // namespace
