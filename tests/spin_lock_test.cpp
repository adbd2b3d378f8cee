// Interrupt request levels, spin locks and the cancel spin lock: raising and restoring, real
// mutual exclusion between threads, and the lock-order records that memory release forgets.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/released_memory.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

using SpinLocks = testing_support::ManualExecutive;

TEST_F(SpinLocks, AcquireRaisesToDispatchAndReleaseRestoresThePreviousLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(lock, 0u);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST_F(SpinLocks, NestedLocksKeepDispatchLevelUntilTheOuterRelease) {
  KSPIN_LOCK outer = 0;
  KSPIN_LOCK inner = 0;
  KIRQL outerOld;
  KIRQL innerOld;
  KeAcquireSpinLock(&outer, &outerOld);
  KeAcquireSpinLock(&inner, &innerOld);
  EXPECT_EQ(innerOld, DISPATCH_LEVEL);
  KeReleaseSpinLock(&inner, innerOld);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&outer, outerOld);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, RaiseAndLowerReturnAndRestoreLevels) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KIRQL older;
  KeRaiseIrql(DISPATCH_LEVEL, &older);
  EXPECT_EQ(older, APC_LEVEL);
  KeLowerIrql(older);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, ExcludeEachOtherAcrossThreads) {
  KSPIN_LOCK lock = 0;
  volatile long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
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
  EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(SpinLocks, CancelLockIsOneSystemWideLock) {
  KIRQL old;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(host::CancelSpinLockHeldByCaller());
  std::atomic<bool> otherGotIt{false};
  std::thread other([&] {
    KIRQL otherOld;
    IoAcquireCancelSpinLock(&otherOld);
    otherGotIt = true;
    EXPECT_TRUE(host::CancelSpinLockHeldByCaller());
    IoReleaseCancelSpinLock(otherOld);
  });
  // The other thread cannot have it while this one does.
  std::this_thread::yield();
  EXPECT_FALSE(otherGotIt);
  IoReleaseCancelSpinLock(old);
  other.join();
  EXPECT_TRUE(otherGotIt);
  EXPECT_FALSE(host::CancelSpinLockHeldByCaller());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, ConsistentOrderAcrossThreadsIsAccepted) {
  KSPIN_LOCK port = 0;
  for (int round = 0; round < 3; ++round) {
    std::thread([&] {
      KIRQL portOld;
      KIRQL cancelOld;
      KeAcquireSpinLock(&port, &portOld);
      IoAcquireCancelSpinLock(&cancelOld);
      IoReleaseCancelSpinLock(cancelOld);
      KeReleaseSpinLock(&port, portOld);
    }).join();
  }
  KIRQL cancelOld;
  IoAcquireCancelSpinLock(&cancelOld);
  IoReleaseCancelSpinLock(cancelOld);
}

TEST_F(SpinLocks, OrderRecordsOfFreedPoolAreForgotten) {
  auto* locks = static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK),
                                                               0x206B6444));
  KeInitializeSpinLock(&locks[0]);
  KeInitializeSpinLock(&locks[1]);
  KIRQL a;
  KIRQL b;
  KeAcquireSpinLock(&locks[0], &a);
  KeAcquireSpinLock(&locks[1], &b);
  KeReleaseSpinLock(&locks[1], b);
  KeReleaseSpinLock(&locks[0], a);
  ExFreePool(locks);

  // New locks at possibly the same addresses start without history: the reverse order is fine.
  locks = static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(KSPIN_LOCK),
                                                         0x206B6444));
  KeInitializeSpinLock(&locks[0]);
  KeInitializeSpinLock(&locks[1]);
  KeAcquireSpinLock(&locks[1], &b);
  KeAcquireSpinLock(&locks[0], &a);
  KeReleaseSpinLock(&locks[0], a);
  KeReleaseSpinLock(&locks[1], b);
  ExFreePool(locks);
}

TEST_F(SpinLocks, ForgetLocksInDropsTheRecordsOfADeviceExtension) {
  struct Extension {
    KSPIN_LOCK first;
    KSPIN_LOCK second;
  } extension{0, 0};
  KIRQL a;
  KIRQL b;
  KeAcquireSpinLock(&extension.first, &a);
  KeAcquireSpinLock(&extension.second, &b);
  KeReleaseSpinLock(&extension.second, b);
  KeReleaseSpinLock(&extension.first, a);
  host::ForgetLocksIn(&extension, sizeof extension);
  KeAcquireSpinLock(&extension.second, &b);
  KeAcquireSpinLock(&extension.first, &a);
  KeReleaseSpinLock(&extension.first, a);
  KeReleaseSpinLock(&extension.second, b);
  host::ForgetLocksIn(&extension, sizeof extension);
}

}  // namespace
