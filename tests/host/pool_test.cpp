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

// What the pool holds under a tag (zeros when nothing).
host::ex::TagUsage Usage(ULONG tag) {
  for (const auto& usage : host::ex::Outstanding()) {
    if (usage.tag == tag) return usage;
  }
  return {};
}

using Pool = testsupport::ManualExecutive;

TEST_F(Pool, NewBlocksAreFilledWithThePatternNotZeroedAndEmptyRequestsGetDistinctBlocks) {
  for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(type, 4100, kDriverTag));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 4100,
                            [](unsigned char b) { return b == host::ex::kFillPattern; }));
    ExFreePool(block);
  }
  void* a = ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  ExFreePool(a);
  ExFreePool(b);
}

TEST_F(Pool, OutstandingBlocksAreCountedPerTagAndSummarizedAsLeftovers) {
  const size_t before = host::ex::OutstandingBlocks();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 514, kDriverTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
  void* untagged = ExAllocatePool(NonPagedPool, 16);
  EXPECT_EQ(host::ex::OutstandingBlocks(), before + 4);
  EXPECT_EQ(Usage(kDriverTag).blocks, 2u);
  EXPECT_EQ(Usage(kDriverTag).bytes, 554u);
  EXPECT_EQ(Usage(kDriverTag).tagText, "Ddk ");
  EXPECT_EQ(Usage(kOtherTag).blocks, 1u);
  EXPECT_EQ(Usage(kOtherTag).tagText, "Test");
  bool none = false;
  for (const auto& usage : host::ex::Outstanding()) none |= usage.tagText == "None";
  EXPECT_TRUE(none) << "untagged blocks carry the tag None";
  ExFreePool(untagged);
  ExFreePool(c);
  ExFreePoolWithTag(b, kDriverTag);
  EXPECT_EQ(Usage(kDriverTag).blocks, 1u);
  EXPECT_EQ(Usage(kDriverTag).bytes, 40u);
  EXPECT_EQ(Usage(kOtherTag).blocks, 0u);

  const host::session::LeftoverSummary summary = host::session::SummarizeLeftovers();
  EXPECT_FALSE(summary.Clean());
  EXPECT_EQ(summary.poolBlocks, 1u);
  EXPECT_EQ(summary.poolBytes, 40u);
  const std::string text = host::session::FormatLeftovers(summary);
  EXPECT_NE(text.find("tag 'Ddk ': 1 blocks, 40 bytes"), std::string::npos) << text;
  ExFreePool(a);
  EXPECT_EQ(host::ex::OutstandingBlocks(), before);
  EXPECT_TRUE(host::session::SummarizeLeftovers().Clean());
}

// The Nth call from now fails and only that one; calls are counted from the start, failed
// ones included; a predicate fails the calls it chooses; a restart clears both the injections
// and the count.
TEST_F(Pool, ChosenAllocationsFailAloneAndARestartClearsInjectionsAndTheCallCount) {
  EXPECT_EQ(host::ex::AllocationCalls(), 0u);
  host::ex::FailNthAllocation(2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag), nullptr);
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_TRUE(first && third);
  EXPECT_EQ(Usage(kDriverTag).blocks, 2u);
  EXPECT_EQ(host::ex::AllocationCalls(), 3u);
  ExFreePool(first);
  ExFreePool(third);

  // A predicate chooses which calls fail until the failures are cleared.
  host::ex::FailWhen([](POOL_TYPE type, SIZE_T bytes, ULONG) {
    return type == PagedPool && bytes == 10;
  });
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, kDriverTag), nullptr);
  void* otherSize = ExAllocatePoolWithTag(PagedPool, 12, kDriverTag);
  void* otherType = ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag);
  EXPECT_TRUE(otherSize && otherType);
  host::ex::ClearFailures();
  void* afterClear = ExAllocatePoolWithTag(PagedPool, 10, kDriverTag);
  EXPECT_NE(afterClear, nullptr);
  for (void* block : {otherSize, otherType, afterClear}) ExFreePool(block);

  host::ex::FailNthAllocation(1);
  host::ex::FailWhen([](POOL_TYPE, SIZE_T, ULONG) { return true; });
  host::session::StartManual();
  EXPECT_EQ(host::ex::AllocationCalls(), 0u);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_NE(block, nullptr);
  ExFreePool(block);
}

}  // namespace
