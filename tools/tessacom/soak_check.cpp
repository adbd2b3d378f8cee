#include "soak_check.h"

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

bool StreamCursor::Follow(std::span<const uint8_t> stream, std::span<const uint8_t> bytes) {
  std::vector<size_t> next;
  for (size_t offset : at_) {
    if (Matching(stream, offset, bytes) == bytes.size()) next.push_back(offset + bytes.size());
  }
  Settle(next);
  return !Lost();
}

bool StreamCursor::FollowAnyPart(std::span<const uint8_t> stream, std::span<const uint8_t> bytes) {
  std::vector<size_t> next;
  for (size_t offset : at_) {
    const size_t matching = Matching(stream, offset, bytes);
    for (size_t n = 0; n <= matching; n++) next.push_back(offset + n);
  }
  Settle(next);
  return !Lost();
}

void StreamCursor::SkipUpTo(size_t count, size_t available) {
  std::vector<size_t> next;
  for (size_t offset : at_) {
    for (size_t n = offset; n <= std::min(offset + count, std::max(offset, available)); n++) {
      next.push_back(n);
    }
  }
  Settle(next);
}

bool StreamCursor::Possible(size_t offset) const {
  return std::binary_search(at_.begin(), at_.end(), offset);
}

}  // namespace tessacom
