// Pool memory of the host: fill pattern, tag accounting, failure injection and the registry of
// live blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "host/ex/pool_control.h"
#include "host/session/unload_checks.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace {

constexpr ULONG kDriverTag = 0x206B6444;  // "Ddk "
constexpr ULONG kOtherTag = 0x74736554;   // "Test"

// What the pool holds, "tag blocks bytes" for each tag in tag order.
std::vector<std::string> Holdings() {
  std::vector<std::string> all;
  for (const auto& u : host::ex::Outstanding()) all.push_back(u.tagText + " " + std::to_string(u.blocks) + " " + std::to_string(u.bytes));
  return all;
}

using Pool = testsupport::ManualExecutive;

// New blocks are filled with the pattern, not zeroed; empty requests get distinct blocks. Blocks
// outstanding are counted per tag and summarized as leftovers.
TEST_F(Pool, NewBlocksAreFilledWithThePatternCountedPerTagAndSummarizedAsLeftovers) {
  for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(type, 4100, kDriverTag));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + 4100, [](unsigned char b) { return b == host::ex::kFillPattern; }));
    ExFreePool(block);
  }
  void* empty[2] = {ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag), ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag)};
  EXPECT_TRUE(empty[0] && empty[1] && empty[0] != empty[1]);
  for (void* block : empty) ExFreePool(block);

  void* a = ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 514, kDriverTag);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
  void* untagged = ExAllocatePool(NonPagedPool, 16);
  EXPECT_EQ(host::ex::OutstandingBlocks(), 4u);
  EXPECT_EQ(Holdings(), (std::vector<std::string>{"Ddk  2 554", "None 1 16", "Test 1 7"}))
      << "untagged blocks carry the tag None";
  ExFreePool(untagged);
  ExFreePool(c);
  ExFreePoolWithTag(b, kDriverTag);
  EXPECT_EQ(Holdings(), std::vector<std::string>{"Ddk  1 40"});

  const host::session::LeftoverSummary summary = host::session::SummarizeLeftovers();
  EXPECT_EQ(std::tuple(summary.Clean(), summary.poolBlocks, summary.poolBytes), std::tuple(false, size_t{1}, size_t{40}));
  const std::string text = host::session::FormatLeftovers(summary);
  EXPECT_NE(text.find("tag 'Ddk ': 1 blocks, 40 bytes"), std::string::npos) << text;
  ExFreePool(a);
  EXPECT_EQ(host::ex::OutstandingBlocks(), 0u);
  EXPECT_TRUE(host::session::SummarizeLeftovers().Clean());
}

// The Nth call from now fails and only that one; calls are counted from the start, failed
// ones included; a predicate fails the calls it chooses; a restart clears both the injections
// and the count.
TEST_F(Pool, ChosenAllocationsFailAloneAndARestartClearsInjectionsAndTheCallCount) {
  EXPECT_EQ(host::ex::AllocationCalls(), 0u);
  host::ex::FailNthAllocation(2);
  void* blocks[3];
  for (void*& block : blocks) block = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag);
  EXPECT_TRUE(blocks[0] && !blocks[1] && blocks[2]);
  EXPECT_EQ(std::pair(Holdings(), host::ex::AllocationCalls()), std::pair(std::vector<std::string>{"Ddk  2 16"}, size_t{3}));
  ExFreePool(blocks[0]);
  ExFreePool(blocks[2]);

  host::ex::FailWhen([](POOL_TYPE type, SIZE_T bytes, ULONG) { return type == PagedPool && bytes == 10; });
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 10, kDriverTag), nullptr);
  void* otherSize = ExAllocatePoolWithTag(PagedPool, 12, kDriverTag);
  void* otherType = ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag);
  host::ex::ClearFailures();
  void* afterClear = ExAllocatePoolWithTag(PagedPool, 10, kDriverTag);
  EXPECT_TRUE(otherSize && otherType && afterClear);
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
