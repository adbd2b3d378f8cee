// Internal to the host: not for driver code, tests or tools.
// The pool's live-block registry as the verifier and the executive's start see it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/ddk/ke.h"

namespace host::ex::detail {

// Outstanding blocks grouped by tag, size and the code that allocated them.
struct PoolLeak {
  ULONG tag;
  size_t bytes;
  const void* allocatedFrom;
  size_t blocks;
};
std::vector<PoolLeak> OutstandingBySite();

// The live block that holds `address`, or nothing when no block does: what the memory manager
// knows of a page (pageable or resident) when a driver describes it in an MDL.
struct PoolBlockExtent {
  const char* start;
  size_t bytes;
  POOL_TYPE type;
};
std::optional<PoolBlockExtent> PoolBlockAt(const void* address);
// True for the pageable pool types.
bool IsPagedPoolType(POOL_TYPE type);

// The four tag characters as text ('.' for unprintable ones).
std::string TagText(ULONG tag);

// A fresh start of the executive: the call count restarts and failure injection is cleared.
// Outstanding blocks stay (they are real memory that may still be freed).
void RestartPoolSession();

}  // namespace host::ex::detail
