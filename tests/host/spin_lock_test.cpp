// Interrupt request levels, spin locks and the cancel spin lock: raising and restoring, real
// mutual exclusion between threads, and the lock-order records that memory release forgets.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "host/ke/released_memory.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using SpinLocks = testsupport::ManualExecutive;

// Takes the two locks in order and lets them go, the outer one keeping DISPATCH_LEVEL.
void TakeInOrder(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL a, b;
  KeAcquireSpinLock(first, &a);
  KeAcquireSpinLock(second, &b);
  EXPECT_EQ(b, DISPATCH_LEVEL);
  KeReleaseSpinLock(second, b);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "the outer lock keeps dispatch level";
  KeReleaseSpinLock(first, a);
}

TEST_F(SpinLocks, ExcludeEachOtherAcrossThreads) {
  KSPIN_LOCK lock = 0;
  volatile long counter = 0;
  std::vector<std::thread> threads(4);
  for (auto& thread : threads) {
    thread = std::thread([&] {
      for (int i = 0; i < 20000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        const long seen = counter;  // a torn update shows up as a lost increment
        std::this_thread::yield();
        counter = seen + 1;
        KeReleaseSpinLock(&lock, old);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 20000);
}

// Acquiring raises to DISPATCH_LEVEL and releasing restores the previous level; the cancel
// lock is one system-wide lock, taken after a port lock on every thread.
TEST_F(SpinLocks, AcquireRaisesToDispatchReleaseRestoresAndTheCancelLockIsOneSystemWideLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old, lockOld;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeAcquireSpinLock(&lock, &lockOld);
  EXPECT_EQ(std::tuple(lockOld, KeGetCurrentIrql(), lock != 0), std::tuple(APC_LEVEL, DISPATCH_LEVEL, true));
  KeReleaseSpinLock(&lock, lockOld);
  EXPECT_EQ(std::tuple(KeGetCurrentIrql(), lock), std::tuple(APC_LEVEL, KSPIN_LOCK{0}));
  KeLowerIrql(old);
  KSPIN_LOCK inner = 0;
  TakeInOrder(&lock, &inner);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(host::ke::CancelSpinLockHeldByCaller());
  std::atomic<bool> otherGotIt{false};
  KSPIN_LOCK port = 0;
  std::thread other([&] {
    // The port lock, then the cancel lock: the same order on every thread is accepted.
    KIRQL portOld, otherOld;
    KeAcquireSpinLock(&port, &portOld);
    IoAcquireCancelSpinLock(&otherOld);
    otherGotIt = true;
    EXPECT_TRUE(host::ke::CancelSpinLockHeldByCaller());
    IoReleaseCancelSpinLock(otherOld);
    KeReleaseSpinLock(&port, portOld);
  });
  // The other thread cannot have it while this one does.
  std::this_thread::yield();
  EXPECT_FALSE(otherGotIt);
  IoReleaseCancelSpinLock(old);
  other.join();
  EXPECT_TRUE(otherGotIt);
  EXPECT_FALSE(host::ke::CancelSpinLockHeldByCaller());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Without the forgetting, taking the locks in the reverse order would stop as a cycle.
TEST_F(SpinLocks, OrderRecordsOfFreedPoolAndForgottenExtensionsAreDropped) {
  for (int round = 0; round < 2; ++round) {
    auto* locks = static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK),
                                                                 0x206B6444));
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    TakeInOrder(&locks[round], &locks[1 - round]);
    ExFreePool(locks);
  }
  struct {
    KSPIN_LOCK first, second;
  } extension{0, 0};
  TakeInOrder(&extension.first, &extension.second);
  host::ke::ForgetLocksIn(&extension, sizeof extension);
  TakeInOrder(&extension.second, &extension.first);
  host::ke::ForgetLocksIn(&extension, sizeof extension);
}

}  // namespace
