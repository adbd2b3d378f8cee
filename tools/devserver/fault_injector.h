// Seeded fault injection on one direction of the link: each datagram offered may be dropped,
// duplicated, held back behind the next one (reordered) or delayed. The decisions come from a
// pseudo-random sequence fixed by the seed, four draws per datagram whatever is decided, so a
// run that offers the same datagrams in the same order makes the same decisions.
//
// Two limits keep the faults within what the wire format can survive, when asked for:
// - `overtakeLimit`: a held datagram passes at the latest once that many later datagrams of
//   its direction have passed. With 4-bit sequences a copy overtaken by too many packets names
//   a sequence that has come round again, and nothing at either end can tell it from a new one.
// - `handshakeInOrder`: OPEN, CLOSE and DOWN are never held (they may be dropped; a duplicate
//   passes right behind its original) and nothing of their channel held before them passes
//   after them: a copy of one that arrives after a later packet of its channel would be taken
//   for a new open or close, and a packet from before it for one of the session it starts.
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
  // A held datagram passes once this many later datagrams have passed (0: by time alone).
  size_t overtakeLimit = 0;
  bool handshakeInOrder = false;  // OPEN, CLOSE and DOWN neither held nor overtaken

  bool Any() const { return drop > 0 || duplicate > 0 || reorder > 0 || delay > 0; }
};

// What a direction's injection did so far, datagram by datagram (a datagram both duplicated
// and delayed counts in both). A handshake packet kept in order is not counted as held.
struct FaultCounts {
  size_t dropped = 0;
  size_t duplicated = 0;
  size_t reordered = 0;
  size_t delayed = 0;
  size_t passedByCount = 0;      // held ones passed early by `overtakeLimit`
  size_t passedForHandshake = 0;  // held ones passed early ahead of a handshake packet
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

// OPEN, CLOSE or DOWN: the packets that start and end a channel's session.
bool IsHandshake(const std::vector<uint8_t>& datagram);

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
    uint64_t serial;  // of its offering: later datagrams have greater ones
    Clock::time_point due;
    bool untilNext;      // a reordered datagram: also released once the next one has passed
    size_t overtakenBy;  // later datagrams passed since it was held
  };
  FaultDecision Decide(const Datagram& datagram);
  void Hold(std::vector<Datagram> copies, const FaultDecision& d, Clock::time_point now);
  void Forward(Datagram datagram, uint64_t serial, std::vector<Datagram>& pass);
  void PassOn(Datagram datagram, uint64_t serial, std::vector<Datagram>& pass);
  void PassHeldOfChannel(uint8_t channel, std::vector<Datagram>& pass);
  void PassReordered(std::vector<Datagram>& pass);

  FaultDice dice_;
  FaultProfile profile_;
  std::deque<HeldDatagram> held_;
  uint64_t offered_ = 0;
  FaultCounts counts_;
};

}  // namespace devserver
