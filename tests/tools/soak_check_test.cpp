// The soak's byte check: exactly the gaps that cancellation may leave are allowed.
#include <gtest/gtest.h>

#include <numeric>

#include "soak/soak_check.h"

using tessacom::StreamCursor;

namespace {

std::vector<uint8_t> Bytes(size_t count, uint8_t from) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), from);
  return bytes;
}

std::vector<uint8_t> Join(std::initializer_list<std::span<const uint8_t>> parts) {
  std::vector<uint8_t> joined;
  for (auto part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

// Writes: a completed one whole, a cancelled one any first part (none to all), in order.
TEST(SoakCheck, TheLineMayMissOnlyTheTailOfACancelledWrite) {
  const auto a = Bytes(10, 0), cancelled = Bytes(10, 100), c = Bytes(10, 200);
  for (size_t sent : {size_t{0}, size_t{4}, size_t{10}}) {
    const auto line = Join({a, std::span(cancelled).first(sent), c});
    StreamCursor cursor;
    EXPECT_TRUE(cursor.Follow(line, a) && cursor.FollowAnyPart(line, cancelled) && cursor.Follow(line, c) &&
                cursor.Possible(line.size())) << sent;
  }
  const auto reordered = Join({a, c, std::span(cancelled).first(4)});
  StreamCursor cursor;
  EXPECT_FALSE(cursor.Follow(reordered, a) && cursor.FollowAnyPart(reordered, cancelled) && cursor.Follow(reordered, c) &&
               cursor.Possible(reordered.size())) << "a cancelled write's bytes after the next one's";
  const auto shortened = Join({std::span(a).first(9), c});
  StreamCursor strict;
  EXPECT_FALSE(strict.Follow(shortened, a) && strict.Follow(shortened, c)) << "a completed write cut short";
}

// An immediate character the port's last close may have lost: there, or the line ends where it
// would begin; never missing with later bytes after it.
TEST(SoakCheck, ALastCloseMayLoseAnImmediateOnlyWithEverythingAfterIt) {
  const auto a = Bytes(10, 0), immediate = Bytes(1, 50), cancelled = Bytes(10, 100);
  const struct {
    std::vector<uint8_t> line;
    bool allowed;
  } cases[] = {{Join({a, immediate, std::span(cancelled).first(4)}), true},
               {Join({a, immediate}), true},
               {a, true},
               {Join({a, std::span(cancelled).first(4)}), false}};
  for (const auto& c : cases) {
    StreamCursor cursor;
    EXPECT_EQ(cursor.Follow(c.line, a) && cursor.FollowOrEnd(c.line, immediate) &&
                  cursor.FollowAnyPart(c.line, cancelled) && cursor.Possible(c.line.size()),
              c.allowed) << c.line.size();
  }
}

// Reads: what a completed read reported comes next; a cancelled read may have taken up to its
// length, and no more.
TEST(SoakCheck, ReadsMayLoseOnlyWhatACancelledReadCouldHaveTaken) {
  const auto line = Bytes(40, 0);
  StreamCursor cursor;
  ASSERT_TRUE(cursor.Follow(line, std::span(line).first(5)));
  cursor.SkipUpTo(8, line.size());
  EXPECT_TRUE(cursor.Follow(line, std::span(line).subspan(13, 5))) << "8 taken by the cancelled read";
  EXPECT_FALSE(cursor.Follow(line, std::span(line).subspan(18 + 1, 3))) << "a byte lost";
  StreamCursor repeated;
  repeated.Follow(line, std::span(line).first(5));
  EXPECT_FALSE(repeated.Follow(line, std::span(line).subspan(4, 3))) << "a byte delivered twice";
}

// Gaps piling up (a stall with reads cancelled one after another) end the check with a reason
// instead of a search over ever more places.
TEST(SoakCheck, PilingGapsEndTheCheckInsteadOfGrowingIt) {
  StreamCursor cursor;
  size_t gaps = 0;
  while (!cursor.Lost() && gaps < 1000) {
    cursor.SkipUpTo(1023, 1u << 30);
    gaps++;
  }
  EXPECT_TRUE(cursor.Overflowed());
  EXPECT_EQ(gaps, StreamCursor::kMaxCandidates / 1023 + 1);
}

}  // namespace
