// Seeded fault injection on one direction of the link: each datagram offered may be dropped,
// duplicated, held back behind the next one (reordered) or delayed. The decisions come from a
// pseudo-random sequence fixed by the seed, four draws per datagram whatever is decided, so a
// run that offers the same datagrams in the same order makes the same decisions.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "endpoint.h"

namespace devserver {

using Clock = std::chrono::steady_clock;

struct FaultProfile {
  double drop = 0;       // probability that a datagram is lost
  double duplicate = 0;  // probability that it is passed twice
  double reorder = 0;    // probability that it is held until the next one has passed
  double delay = 0;      // probability that it is held for `delayBy`
  std::chrono::milliseconds delayBy{20};  // delay, and the longest a reordered one is held

  bool Any() const { return drop > 0 || duplicate > 0 || reorder > 0 || delay > 0; }
};

// What a direction's injection did so far, datagram by datagram (a datagram both duplicated
// and delayed counts in both).
struct FaultCounts {
  size_t dropped = 0;
  size_t duplicated = 0;
  size_t reordered = 0;
  size_t delayed = 0;
};

struct FaultDecision {
  bool drop = false;
  bool duplicate = false;
  bool reorder = false;
  bool delay = false;
};

// The decision sequence alone.
class FaultDice {
 public:
  FaultDice(uint64_t seed, const FaultProfile& profile);
  FaultDecision Next();

 private:
  double Uniform();
  std::mt19937_64 engine_;
  FaultProfile profile_;
};

struct Datagram {
  Endpoint peer;
  std::vector<uint8_t> bytes;
  std::string fault;  // what the injector did to it, for the trace ("" when nothing)
};

// A direction of the link with its faults: datagrams go in through Offer and come out of
// Offer and Release in the order they are to be passed on.
class FaultyLink {
 public:
  FaultyLink(uint64_t seed, const FaultProfile& profile);

  // Offers one datagram at `now`; appends to `pass` what is to be passed on now and to
  // `dropped` what is lost.
  void Offer(Datagram datagram, Clock::time_point now, std::vector<Datagram>& pass,
             std::vector<Datagram>& dropped);
  // Appends the held datagrams that are due at `now`.
  void Release(Clock::time_point now, std::vector<Datagram>& pass);
  std::optional<Clock::time_point> NextRelease() const;
  size_t Held() const { return held_.size(); }
  const FaultCounts& Counts() const { return counts_; }

 private:
  struct HeldDatagram {
    Datagram datagram;
    Clock::time_point due;
    bool untilNext;  // a reordered datagram: also released once the next one has passed
  };
  FaultDice dice_;
  FaultProfile profile_;
  std::deque<HeldDatagram> held_;
  FaultCounts counts_;
};

}  // namespace devserver
