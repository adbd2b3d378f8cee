// Seeded drop / duplicate / reorder / delay decisions and the holding of datagrams they imply.
#include "fault_injector.h"

#include <algorithm>

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

FaultyLink::FaultyLink(uint64_t seed, const FaultProfile& profile)
    : dice_(seed, profile), profile_(profile) {}

void FaultyLink::Offer(Datagram datagram, Clock::time_point now, std::vector<Datagram>& pass,
                       std::vector<Datagram>& dropped) {
  const FaultDecision d = dice_.Next();
  counts_.dropped += d.drop;
  counts_.duplicated += d.duplicate;
  counts_.reordered += d.reorder;
  counts_.delayed += d.delay;
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
      held_.push_back(HeldDatagram{std::move(copy), now + profile_.delayBy, d.reorder});
    }
    return;
  }
  // This datagram passes now; the reordered ones held before it follow it.
  for (Datagram& copy : copies) pass.push_back(std::move(copy));
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->untilNext) {
      pass.push_back(std::move(it->datagram));
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

void FaultyLink::Release(Clock::time_point now, std::vector<Datagram>& pass) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->due <= now) {
      pass.push_back(std::move(it->datagram));
      it = held_.erase(it);
    } else {
      ++it;
    }
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
