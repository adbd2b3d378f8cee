// Pool memory of the host: fill pattern, tag accounting, failure injection and the registry of
// live blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "host/ex/pool_control.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

constexpr ULONG kDriverTag = 0x206B6444;  // "Ddk "
constexpr ULONG kOtherTag = 0x74736554;   // "Test"

size_t BlocksWithTag(ULONG tag) {
  for (const auto& usage : host::pool::Outstanding()) {
    if (usage.tag == tag) return usage.blocks;
  }
  return 0;
}

size_t BytesWithTag(ULONG tag) {
  for (const auto& usage : host::pool::Outstanding()) {
    if (usage.tag == tag) return usage.bytes;
  }
  return 0;
}

using Pool = testsupport::ManualExecutive;

TEST_F(Pool, NewBlocksAreFilledWithThePatternNotZeroed) {
  for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(type, 4100, kDriverTag));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 4100,
                            [](unsigned char b) { return b == host::pool::kFillPattern; }));
    EXPECT_NE(host::pool::kFillPattern, 0);
    ExFreePool(block);
  }
}

TEST_F(Pool, OutstandingBlocksAreCountedPerTag) {
  const size_t before = host::pool::OutstandingBlocks();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 514, kDriverTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
  EXPECT_EQ(host::pool::OutstandingBlocks(), before + 3);
  EXPECT_EQ(BlocksWithTag(kDriverTag), 2u);
  EXPECT_EQ(BytesWithTag(kDriverTag), 554u);
  EXPECT_EQ(BlocksWithTag(kOtherTag), 1u);
  for (const auto& usage : host::pool::Outstanding()) {
    if (usage.tag == kDriverTag) {
      EXPECT_EQ(usage.tagText, "Ddk ");
    }
    if (usage.tag == kOtherTag) {
      EXPECT_EQ(usage.tagText, "Test");
    }
  }
  ExFreePoolWithTag(b, kDriverTag);
  EXPECT_EQ(BlocksWithTag(kDriverTag), 1u);
  EXPECT_EQ(BytesWithTag(kDriverTag), 40u);
  ExFreePool(a);
  ExFreePool(c);
  EXPECT_EQ(BlocksWithTag(kDriverTag), 0u);
  EXPECT_EQ(BlocksWithTag(kOtherTag), 0u);
  EXPECT_EQ(host::pool::OutstandingBlocks(), before);
}

TEST_F(Pool, UntaggedAllocationsCarryTheNoneTag) {
  void* block = ExAllocatePool(NonPagedPool, 16);
  ASSERT_NE(block, nullptr);
  bool found = false;
  for (const auto& usage : host::pool::Outstanding()) found |= usage.tagText == "None";
  EXPECT_TRUE(found);
  ExFreePool(block);
}

TEST_F(Pool, EmptyRequestsGetDistinctLiveBlocks) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  ExFreePool(a);
  ExFreePool(b);
}

TEST_F(Pool, NthAllocationFromNowFailsAndOnlyThatOne) {
  host::pool::FailNthAllocation(2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(BlocksWithTag(kDriverTag), 2u);
  ExFreePool(first);
  ExFreePool(third);
}

TEST_F(Pool, PredicateChoosesWhichAllocationsFailUntilCleared) {
  host::pool::FailWhen([](POOL_TYPE type, SIZE_T bytes, ULONG) {
    return type == PagedPool && bytes == 10;
  });
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, kDriverTag), nullptr);
  void* otherSize = ExAllocatePoolWithTag(PagedPool, 12, kDriverTag);
  void* otherType = ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag);
  EXPECT_NE(otherSize, nullptr);
  EXPECT_NE(otherType, nullptr);
  host::pool::ClearFailures();
  void* afterClear = ExAllocatePoolWithTag(PagedPool, 10, kDriverTag);
  EXPECT_NE(afterClear, nullptr);
  for (void* block : {otherSize, otherType, afterClear}) ExFreePool(block);
}

TEST_F(Pool, CallsAreCountedFromTheStartIncludingFailedOnes) {
  EXPECT_EQ(host::pool::AllocationCalls(), 0u);
  host::pool::FailNthAllocation(1);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag), nullptr);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_EQ(host::pool::AllocationCalls(), 2u);
  ExFreePool(block);
}

TEST_F(Pool, RestartClearsInjectedFailuresAndTheCallCount) {
  host::pool::FailNthAllocation(1);
  host::pool::FailWhen([](POOL_TYPE, SIZE_T, ULONG) { return true; });
  host::StartManual();
  EXPECT_EQ(host::pool::AllocationCalls(), 0u);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_NE(block, nullptr);
  ExFreePool(block);
}

TEST_F(Pool, LeftoverSummaryReportsOutstandingPoolByTag) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 132, kDriverTag);
  const host::LeftoverSummary summary = host::SummarizeLeftovers();
  EXPECT_FALSE(summary.Clean());
  EXPECT_EQ(summary.poolBlocks, 1u);
  EXPECT_EQ(summary.poolBytes, 132u);
  const std::string text = host::FormatLeftovers(summary);
  EXPECT_NE(text.find("tag 'Ddk ': 1 blocks, 132 bytes"), std::string::npos) << text;
  ExFreePool(block);
  EXPECT_TRUE(host::SummarizeLeftovers().Clean());
}

}  // namespace
