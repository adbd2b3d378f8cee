// The soak's check of one direction of one port: where, in the stream of bytes the sender was
// told to carry, the receiver can stand given the outcomes of the requests so far. A request
// that completed reported exactly what moved; only cancellation may leave a gap:
// - a cancelled write may have put any first part of its bytes on the line (what it had placed
//   in the transmit ring still goes out), and nothing of the rest;
// - a cancelled read may have taken up to its length from the stream (a pending read takes
//   bytes as they come), and those bytes are gone with it;
// - bytes the sender had taken but nobody had acknowledged may be lost at the sender's last
//   close, and then everything after them is lost too: the stream ends there.
// Every offset those gaps allow is kept, so the check allows exactly them and no others. The
// offsets kept are bounded: a run of gaps that would allow more than kMaxCandidates offsets
// ends the check (Lost), with Overflowed() saying why, rather than a search without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessacom {

class StreamCursor {
 public:
  static constexpr size_t kMaxCandidates = 1 << 16;

  // `bytes` come next in `stream` from one of the possible offsets: keeps the offsets where
  // they do, moved past them. False (and Lost) when none does.
  bool Follow(std::span<const uint8_t> stream, std::span<const uint8_t> bytes);
  // Any first part of `bytes`, none to all of it, comes next in `stream`.
  bool FollowAnyPart(std::span<const uint8_t> stream, std::span<const uint8_t> bytes);
  // `bytes` come next in `stream`, or `stream` ends where they would begin (they were lost
  // with everything after them).
  bool FollowOrEnd(std::span<const uint8_t> stream, std::span<const uint8_t> bytes);
  // Up to `count` bytes may be missing from the `available` bytes of the stream.
  void SkipUpTo(size_t count, size_t available);

  bool Possible(size_t offset) const;
  bool Lost() const { return at_.empty(); }
  // The check gave up: the gaps allowed more offsets than it keeps.
  bool Overflowed() const { return overflowed_; }
  // The furthest offset possible (0 when lost).
  size_t Furthest() const { return at_.empty() ? 0 : at_.back(); }
  size_t Candidates() const { return at_.size(); }

 private:
  bool Advance(std::span<const uint8_t> stream, std::span<const uint8_t> bytes, bool endMayStay);
  void Settle(std::vector<size_t>& next);
  template <typename Range>
  void Widen(Range range);
  std::vector<size_t> at_{0};  // sorted, distinct
  bool overflowed_ = false;
};

}  // namespace tessacom
