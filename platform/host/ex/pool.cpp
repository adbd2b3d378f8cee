// Pool memory: every block is a host allocation filled with a non-zero pattern and recorded
// in a registry of live blocks (tag, size, pool type, allocating code), so that frees are
// checked without reading freed memory and leaks can be listed by tag. Chosen allocations can
// be made to fail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "host/ex/pool_control.h"
#include "host/ex/pool_registry.h"
#include "host/ke/dpc_queue.h"
#include "host/ke/released_memory.h"
#include "host/ke/thread_state.h"
#include "host/ke/timer_queue.h"
#include "host/verifier/describe.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ex::detail {

namespace {

// The tag ExAllocatePool gives its blocks: "None".
constexpr ULONG kUntagged = 0x656E6F4E;
// Requests above this are refused as the kernel refuses what it cannot have.
constexpr SIZE_T kLargestBlock = SIZE_T{256} << 20;

struct Block {
  size_t bytes;
  ULONG tag;
  POOL_TYPE type;
  const void* allocatedFrom;
};

struct Pool {
  std::mutex mutex;
  std::map<uintptr_t, Block> live;
  std::map<ULONG, ex::TagUsage> byTag;
  size_t calls = 0;
  size_t failCountdown = 0;  // 0: no nth failure pending
  std::shared_ptr<std::function<bool(POOL_TYPE, SIZE_T, ULONG)>> failWhen;
};

Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

// The live block that holds `at`, or live.end(). Pool mutex held.
std::map<uintptr_t, Block>::const_iterator BlockHolding(const Pool& pool, uintptr_t at) {
  auto it = pool.live.upper_bound(at);
  if (it == pool.live.begin()) return pool.live.end();
  --it;
  return at - it->first < (it->second.bytes != 0 ? it->second.bytes : 1) ? it : pool.live.end();
}

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

void RequirePoolLevel(POOL_TYPE type, const char* routine, const void* caller, const char* what) {
  const KIRQL irql = ke::detail::CurrentThreadState().irql;
  if (IsPagedPoolType(type) && irql >= DISPATCH_LEVEL) {
    verifier::Stop("PAGED_POOL_AT_DISPATCH_LEVEL", routine, "%s of paged pool at IRQL %u%s",
                   what, irql, verifier::CalledFrom(caller).c_str());
  }
}

bool ShouldFail(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  Pool& pool = ThePool();
  std::shared_ptr<std::function<bool(POOL_TYPE, SIZE_T, ULONG)>> predicate;
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    ++pool.calls;
    if (pool.failCountdown != 0 && --pool.failCountdown == 0) return true;
    predicate = pool.failWhen;
  }
  return predicate && (*predicate)(type, bytes, tag);
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine, const void* caller) {
  RequirePoolLevel(type, routine, caller, "allocation");
  if (ShouldFail(type, bytes, tag) || bytes > kLargestBlock) return nullptr;
  void* memory = std::malloc(bytes != 0 ? bytes : 1);
  if (memory == nullptr) return nullptr;
  std::memset(memory, ex::kFillPattern, bytes);
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  pool.live.emplace(reinterpret_cast<uintptr_t>(memory), Block{bytes, tag, type, caller});
  ex::TagUsage& usage = pool.byTag[tag];
  usage.tag = tag;
  usage.tagText = TagText(tag);
  ++usage.blocks;
  usage.bytes += bytes;
  return memory;
}

// Frees a live block; with `checkTag`, the caller's tag must be the block's.
void Free(PVOID memory, bool checkTag, ULONG tag, const char* routine, const void* caller) {
  Pool& pool = ThePool();
  const auto at = reinterpret_cast<uintptr_t>(memory);
  Block block{};
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    auto it = pool.live.find(at);
    if (it != pool.live.end()) {
      block = it->second;
      found = true;
    }
  }
  if (!found) {
    verifier::Stop("POOL_FREED_TWICE", routine,
                   "%s is not a live pool block (already freed, or never allocated)%s",
                   Hex(at).c_str(), verifier::CalledFrom(caller).c_str());
  }
  if (checkTag && block.tag != tag) {
    verifier::Stop("POOL_FOREIGN_TAG", routine, "block %s has tag '%s', freed with tag '%s'%s",
                   Hex(at).c_str(), TagText(block.tag).c_str(), TagText(tag).c_str(),
                   verifier::CalledFrom(caller).c_str());
  }
  RequirePoolLevel(block.type, routine, caller, "free");
  if (ke::AnyArmedTimerIn(memory, block.bytes)) {
    verifier::Stop("TIMER_ALIVE_AT_POOL_FREE", routine,
                   "block %s (tag '%s', %zu bytes) holds an armed timer%s", Hex(at).c_str(),
                   TagText(block.tag).c_str(), block.bytes, verifier::CalledFrom(caller).c_str());
  }
  if (ke::AnyQueuedDpcIn(memory, block.bytes)) {
    verifier::Stop("DPC_ALIVE_AT_POOL_FREE", routine,
                   "block %s (tag '%s', %zu bytes) holds a queued or running deferred call%s",
                   Hex(at).c_str(), TagText(block.tag).c_str(), block.bytes,
                   verifier::CalledFrom(caller).c_str());
  }
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    if (pool.live.erase(at) == 0) {
      verifier::Stop("POOL_FREED_TWICE", routine, "%s was freed by two threads at once%s",
                     Hex(at).c_str(), verifier::CalledFrom(caller).c_str());
    }
    auto usage = pool.byTag.find(block.tag);
    usage->second.bytes -= block.bytes;
    if (--usage->second.blocks == 0) pool.byTag.erase(usage);
  }
  ke::ForgetLocksIn(memory, block.bytes);
  std::free(memory);
}

}  // namespace

bool IsPagedPoolType(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

std::optional<PoolBlockExtent> PoolBlockAt(const void* address) {
  Pool& pool = ThePool();
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(pool.mutex);
  auto it = BlockHolding(pool, at);
  if (it == pool.live.end()) return std::nullopt;
  return PoolBlockExtent{reinterpret_cast<const char*>(it->first), it->second.bytes, it->second.type};
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

static std::string DescribePoolAddress(const void* address) {
  Pool& pool = ThePool();
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(pool.mutex);
  auto it = BlockHolding(pool, at);
  if (it == pool.live.end()) return {};
  const Block& block = it->second;
  return "offset " + Hex(at - it->first) + " in pool block " + Hex(it->first) + " (tag '" +
         TagText(block.tag) + "', " + std::to_string(block.bytes) + " bytes)";
}

const bool kPoolAddressesDescribed = host::verifier::RegisterDataDescriber(&DescribePoolAddress);

std::vector<PoolLeak> OutstandingBySite() {
  Pool& pool = ThePool();
  std::map<std::tuple<ULONG, size_t, const void*>, size_t> groups;
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    for (const auto& [at, block] : pool.live) {
      ++groups[{block.tag, block.bytes, block.allocatedFrom}];
    }
  }
  std::vector<PoolLeak> leaks;
  for (const auto& [key, count] : groups) {
    leaks.push_back(PoolLeak{std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
  }
  return leaks;
}

void RestartPoolSession() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  pool.calls = 0;
  pool.failCountdown = 0;
  pool.failWhen.reset();
}

}  // namespace host::ex::detail

namespace host::ex {

std::vector<TagUsage> Outstanding() {
  auto& pool = detail::ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  std::vector<TagUsage> usage;
  for (const auto& entry : pool.byTag) usage.push_back(entry.second);
  return usage;
}

size_t OutstandingBlocks() {
  auto& pool = detail::ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  return pool.live.size();
}

size_t AllocationCalls() {
  auto& pool = detail::ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  return pool.calls;
}

void FailNthAllocation(size_t nth) {
  auto& pool = detail::ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  pool.failCountdown = nth;
}

void FailWhen(std::function<bool(POOL_TYPE type, SIZE_T bytes, ULONG tag)> predicate) {
  auto& pool = detail::ThePool();
  auto shared = predicate ? std::make_shared<std::function<bool(POOL_TYPE, SIZE_T, ULONG)>>(
                                std::move(predicate))
                          : nullptr;
  std::lock_guard<std::mutex> guard(pool.mutex);
  pool.failWhen = std::move(shared);
}

void ClearFailures() {
  auto& pool = detail::ThePool();
  std::lock_guard<std::mutex> guard(pool.mutex);
  pool.failCountdown = 0;
  pool.failWhen.reset();
}

}  // namespace host::ex

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return host::ex::detail::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag",
                                    HOST_CALLER());
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return host::ex::detail::Allocate(PoolType, NumberOfBytes, host::ex::detail::kUntagged,
                                    "ExAllocatePool", HOST_CALLER());
}

VOID NTAPI ExFreePool(PVOID P) { host::ex::detail::Free(P, false, 0, "ExFreePool", HOST_CALLER()); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  host::ex::detail::Free(P, true, Tag, "ExFreePoolWithTag", HOST_CALLER());
}

}  // extern "C"
