// Pool accounting and failure injection, for tests and the program's summaries.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/ddk/ke.h"

namespace host::ex {

struct TagUsage {
  ULONG tag;
  std::string tagText;  // the four tag characters, e.g. "Ddk "
  size_t blocks;
  size_t bytes;
};

// Blocks outstanding right now, by tag.
std::vector<TagUsage> Outstanding();
size_t OutstandingBlocks();
// Allocation calls made since the executive started (failed ones included).
size_t AllocationCalls();

// Makes the nth allocation call from now (1 = the next one) return null.
void FailNthAllocation(size_t nth);
// Makes every allocation for which the predicate answers true return null.
void FailWhen(std::function<bool(POOL_TYPE type, SIZE_T bytes, ULONG tag)> predicate);
void ClearFailures();

// The byte every new block is filled with (callers must not rely on zeroing).
constexpr unsigned char kFillPattern = 0xA5;

}  // namespace host::ex
