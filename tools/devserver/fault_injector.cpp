// Seeded drop / duplicate / reorder / delay decisions and the holding of datagrams they imply.
#include "fault_injector.h"

#include <algorithm>

#include "wire.h"

namespace devserver {

FaultDice::FaultDice(uint64_t seed, const FaultProfile& profile)
    : engine_(seed), profile_(profile) {}

double FaultDice::Uniform() {
  // 53 random bits into [0, 1): the same on every standard library, unlike the distributions.
  return static_cast<double>(engine_() >> 11) * 0x1.0p-53;
}

FaultDecision FaultDice::Next() {
  FaultDecision d;
  const double drop = Uniform();
  const double duplicate = Uniform();
  const double reorder = Uniform();
  const double delay = Uniform();
  d.drop = drop < profile_.drop;
  if (!d.drop) {
    d.duplicate = duplicate < profile_.duplicate;
    d.delay = delay < profile_.delay;
    d.reorder = !d.delay && reorder < profile_.reorder;
  }
  return d;
}

bool IsHandshake(const std::vector<uint8_t>& datagram) {
  return datagram.size() >= kHeaderSize &&
         (datagram[0] == kOpen || datagram[0] == kClose || datagram[0] == kDown);
}

FaultyLink::FaultyLink(uint64_t seed, const FaultProfile& profile)
    : dice_(seed, profile), profile_(profile) {}

FaultDecision FaultyLink::Decide(const Datagram& datagram) {
  FaultDecision d = dice_.Next();  // drawn whatever the datagram, so the sequence stays fixed
  if (profile_.handshakeInOrder && IsHandshake(datagram.bytes)) d.reorder = d.delay = false;
  counts_.dropped += d.drop;
  counts_.duplicated += d.duplicate;
  counts_.reordered += d.reorder;
  counts_.delayed += d.delay;
  return d;
}

void FaultyLink::Offer(Datagram datagram, Clock::time_point now, std::vector<Datagram>& pass,
                       std::vector<Datagram>& dropped) {
  const uint64_t serial = ++offered_;
  const FaultDecision d = Decide(datagram);
  if (d.drop) {
    datagram.fault = "dropped";
    dropped.push_back(std::move(datagram));
    return;
  }
  std::vector<Datagram> copies;
  copies.push_back(datagram);
  if (d.duplicate) {
    copies.back().fault = "duplicated";
    copies.push_back(datagram);
    copies.back().fault = "duplicate";
  }
  if (d.delay || d.reorder) {
    for (Datagram& copy : copies) {
      const std::string what = d.delay ? "delayed" : "reordered";
      copy.fault = copy.fault.empty() ? what : copy.fault + "," + what;
      held_.push_back(HeldDatagram{std::move(copy), serial, now + profile_.delayBy, d.reorder, 0});
    }
    return;
  }
  if (profile_.handshakeInOrder && IsHandshake(datagram.bytes)) {
    PassHeldOfChannel(datagram.bytes[1], pass);
  }
  // This datagram passes now; the reordered ones held before it follow it.
  for (Datagram& copy : copies) PassOn(std::move(copy), serial, pass);
  PassReordered(pass);
}

void FaultyLink::Forward(Datagram datagram, uint64_t serial, std::vector<Datagram>& pass) {
  pass.push_back(std::move(datagram));
  for (HeldDatagram& h : held_) h.overtakenBy += h.serial < serial;
}

// Each one passed may bring older held ones to the limit: they pass right behind it (and may
// bring still older ones to it). Only older ones are counted, so a batch taken out of the held
// ones oldest first and passed one by one stays within the limit too.
void FaultyLink::PassOn(Datagram datagram, uint64_t serial, std::vector<Datagram>& pass) {
  Forward(std::move(datagram), serial, pass);
  if (profile_.overtakeLimit == 0) return;
  for (;;) {
    const auto due = std::find_if(held_.begin(), held_.end(), [this](const HeldDatagram& h) {
      return h.overtakenBy >= profile_.overtakeLimit;
    });
    if (due == held_.end()) return;
    HeldDatagram h = std::move(*due);
    held_.erase(due);
    ++counts_.passedByCount;
    Forward(std::move(h.datagram), h.serial, pass);
  }
}

namespace {

// Takes out of `held`, oldest first, the datagrams `chosen` picks.
template <typename Held, typename Chosen>
std::vector<Held> TakeHeld(std::deque<Held>& held, Chosen chosen) {
  std::vector<Held> taken;
  for (auto it = held.begin(); it != held.end();) {
    if (chosen(*it)) {
      taken.push_back(std::move(*it));
      it = held.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace

void FaultyLink::PassHeldOfChannel(uint8_t channel, std::vector<Datagram>& pass) {
  for (HeldDatagram& h : TakeHeld(held_, [channel](const HeldDatagram& h) {
         return h.datagram.bytes.size() >= 2 && h.datagram.bytes[1] == channel;
       })) {
    ++counts_.passedForHandshake;
    PassOn(std::move(h.datagram), h.serial, pass);
  }
}

void FaultyLink::PassReordered(std::vector<Datagram>& pass) {
  for (HeldDatagram& h : TakeHeld(held_, [](const HeldDatagram& h) { return h.untilNext; })) {
    PassOn(std::move(h.datagram), h.serial, pass);
  }
}

void FaultyLink::Release(Clock::time_point now, std::vector<Datagram>& pass) {
  for (HeldDatagram& h : TakeHeld(held_, [now](const HeldDatagram& h) { return h.due <= now; })) {
    PassOn(std::move(h.datagram), h.serial, pass);
  }
}

std::optional<Clock::time_point> FaultyLink::NextRelease() const {
  std::optional<Clock::time_point> next;
  for (const HeldDatagram& h : held_) {
    if (!next || h.due < *next) next = h.due;
  }
  return next;
}

}  // namespace devserver
