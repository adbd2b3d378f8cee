// What the fuzz targets share: their input read front to back, and the check that ends the run
// when a promise of the code under test is broken (libFuzzer then keeps the input that broke
// it). Everything here is for tests/fuzz alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

// Ends the run, naming the promise and where it was checked.
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : fuzz::Broken(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void Broken(const char* promise, const char* file, int line) {
  std::fprintf(stderr, "broken promise: %s (%s:%d)\n", promise, file, line);
  std::abort();
}

// A fuzz input read front to back. Past its end every byte reads as 0 and every run of bytes
// is empty, so a target can read a fixed layout from any input.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A 16-bit little-endian number.
  uint16_t Word() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  // Up to `count` bytes, fewer at the end of the input.
  std::span<const uint8_t> Bytes(size_t count) {
    count = std::min(count, size_ - std::min(at_, size_));
    std::span<const uint8_t> bytes(data_ + at_, count);
    at_ += count;
    return bytes;
  }
  // A run of bytes preceded by its 16-bit length, cut to `limit` bytes.
  std::span<const uint8_t> Frame(size_t limit) { return Bytes(std::min<size_t>(Word(), limit)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz
