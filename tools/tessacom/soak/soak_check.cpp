#include "soak/soak_check.h"

#include <algorithm>

namespace tessacom {

namespace {

// How many bytes of `bytes` match `stream` from `offset` on.
size_t Matching(std::span<const uint8_t> stream, size_t offset, std::span<const uint8_t> bytes) {
  size_t n = 0;
  while (n < bytes.size() && offset + n < stream.size() && stream[offset + n] == bytes[n]) n++;
  return n;
}

}  // namespace

void StreamCursor::Settle(std::vector<size_t>& next) {
  std::sort(next.begin(), next.end());
  next.erase(std::unique(next.begin(), next.end()), next.end());
  at_ = std::move(next);
}

// Moves the offsets where `bytes` come next past them; with `endMayStay`, an offset at the
// stream's end stays (the bytes were lost with everything after them).
bool StreamCursor::Advance(std::span<const uint8_t> stream, std::span<const uint8_t> bytes,
                           bool endMayStay) {
  std::vector<size_t> next;
  for (size_t offset : at_) {
    if (Matching(stream, offset, bytes) == bytes.size()) {
      next.push_back(offset + bytes.size());
    } else if (endMayStay && offset == stream.size()) {
      next.push_back(offset);
    }
  }
  Settle(next);
  return !Lost();
}

bool StreamCursor::Follow(std::span<const uint8_t> stream, std::span<const uint8_t> bytes) {
  return Advance(stream, bytes, false);
}

bool StreamCursor::FollowOrEnd(std::span<const uint8_t> stream, std::span<const uint8_t> bytes) {
  return Advance(stream, bytes, true);
}

// Keeps every offset of the ranges [low, high] that `range` gives each offset kept (their
// lows rise with the offsets), or gives up when they hold more than the check keeps.
template <typename Range>
void StreamCursor::Widen(Range range) {
  std::vector<std::pair<size_t, size_t>> merged;
  size_t total = 0;
  for (size_t offset : at_) {
    auto [low, high] = range(offset);
    if (!merged.empty() && low <= merged.back().second + 1) {
      const size_t before = merged.back().second;
      merged.back().second = std::max(before, high);
      total += merged.back().second - before;
    } else {
      merged.emplace_back(low, high);
      total += high - low + 1;
    }
    if (total > kMaxCandidates) break;
  }
  if (total > kMaxCandidates) {
    at_.clear();
    overflowed_ = true;
    return;
  }
  std::vector<size_t> next;
  for (auto [low, high] : merged) {
    for (size_t n = low; n <= high; n++) next.push_back(n);
  }
  at_ = std::move(next);
}

bool StreamCursor::FollowAnyPart(std::span<const uint8_t> stream, std::span<const uint8_t> bytes) {
  Widen([&](size_t offset) { return std::pair{offset, offset + Matching(stream, offset, bytes)}; });
  return !Lost();
}

void StreamCursor::SkipUpTo(size_t count, size_t available) {
  Widen([&](size_t offset) {
    return std::pair{offset, std::min(offset + count, std::max(offset, available))};
  });
}

bool StreamCursor::Possible(size_t offset) const {
  return std::binary_search(at_.begin(), at_.end(), offset);
}

}  // namespace tessacom
