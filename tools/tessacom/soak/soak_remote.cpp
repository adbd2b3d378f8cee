#include "soak/soak_remote.h"

#include <algorithm>
#include <ostream>

namespace tessacom {

namespace {

constexpr double kMeanEventGap = 30;       // seconds of the driver's clock, per remote
constexpr double kVanishing = 20;          // seconds of the driver's clock
constexpr double kLongestDownBeforeReopen = 1;  // seconds of the driver's clock
constexpr unsigned kPollFlood = 1000;
constexpr std::chrono::seconds kDrainLimit{2};  // real time for the remote's data to drain
constexpr std::chrono::milliseconds kSettle{50};  // real time between events of one remote
constexpr std::chrono::milliseconds kDrainLook{10};  // real time between looks at the drain

devserver::FaultProfile Profile(const SoakFaults& faults) {
  devserver::FaultProfile profile;
  profile.drop = profile.duplicate = profile.reorder = profile.delay = faults.rate;
  profile.delayBy = std::chrono::milliseconds(faults.beyondLimit ? 20 : 2);
  profile.overtakeLimit = faults.beyondLimit ? 0 : 2;
  profile.handshakeInOrder = !faults.beyondLimit;
  return profile;
}

}  // namespace

SoakRemote::SoakRemote(int index, const SoakFaults& faults)
    : faults_(faults), random_(faults.seed * 7 + static_cast<uint64_t>(index)) {}

SoakRemote::~SoakRemote() {
  if (reopener_.joinable()) reopener_.join();
}

SoakClock::duration SoakRemote::SoakTime(double seconds) const {
  return std::chrono::duration_cast<SoakClock::duration>(
      std::chrono::duration<double>(seconds / faults_.speed));
}

bool SoakRemote::Start(uint32_t address, uint32_t driverAddress, uint16_t wirePort,
                       std::ostream& out) {
  devserver::ServerOptions options;
  options.bind = devserver::Endpoint{address, wirePort};
  options.driver = devserver::Endpoint{driverAddress, wirePort};
  options.protocol.resendInterval = std::chrono::milliseconds(10);
  const devserver::FaultProfile profile = Profile(faults_);
  options.faults = {random_(), profile, profile};
  options.traceLimit = 0;
  options.onTrace = [this](const devserver::TraceRecord& r) { counter_.Record(r); };
  server_ = std::make_unique<devserver::DeviceServer>(options);
  std::string error;
  next_ = SoakClock::now() + SoakTime(kMeanEventGap);
  if (server_->Start(&error)) return true;
  out << "soak: the device server emulator cannot start: " << error << "\n";
  return false;
}

void SoakRemote::JoinReopen() {
  if (reopener_.joinable()) reopener_.join();
}

void SoakRemote::Stop() {
  JoinReopen();
  if (server_) server_->Stop();
}

void SoakRemote::Tick(SoakClock::time_point now) {
  switch (phase_) {
    case Phase::Idle:
      if (now >= next_ && !ports_.empty()) Begin(now);
      return;
    case Phase::Draining: {
      if (now < checkAt_) return;
      checkAt_ = now + kDrainLook;
      const devserver::ChannelSnapshot channel = server_->Channel(downPort_->Channel());
      if (faults_.beyondLimit || (channel.seqDataInFlight == 0 && channel.lineBytesWaiting == 0)) {
        TakeDown(now);
      } else if (now > deadline_) {
        counts_.downsSkipped++;
        downPort_->HoldFeeding(false);
        phase_ = Phase::Idle;
      }
      return;
    }
    case Phase::Down:
      if (now < deadline_) return;
      reopened_ = false;
      reopener_ = std::thread([this] {
        downPort_->Reopen();
        reopened_ = true;
      });
      phase_ = Phase::Reopening;
      return;
    case Phase::Reopening:
      if (reopened_) FinishReopen();
      return;
  }
}

void SoakRemote::FinishReopen() {
  reopener_.join();
  downPort_->HoldFeeding(false);
  phase_ = Phase::Idle;
  next_ = SoakClock::now() + kSettle +
          SoakTime(std::exponential_distribution<double>(1 / kMeanEventGap)(random_));
}

void SoakRemote::Begin(SoakClock::time_point now) {
  SoakPort* port = ports_[random_() % ports_.size()];
  next_ = now + kSettle + SoakTime(std::exponential_distribution<double>(1 / kMeanEventGap)(random_));
  if (port->Finished()) return;
  const unsigned roll = random_() % 10;
  if (roll < 4) {
    counts_.openReplies++;
    server_->SendOpenReply(port->Channel());
  } else if (roll < 7) {
    counts_.pollFloods++;
    server_->SendPolls(port->Channel(), kPollFlood);
  } else if (roll < 9) {
    downPort_ = port;
    port->HoldFeeding(true);
    phase_ = Phase::Draining;
    deadline_ = now + kDrainLimit;
  } else {
    counts_.vanishes++;
    server_->Vanish(std::chrono::duration_cast<std::chrono::milliseconds>(SoakTime(kVanishing)));
    backFromVanishing_ = std::max(backFromVanishing_, now + SoakTime(kVanishing));
  }
}

void SoakRemote::TakeDown(SoakClock::time_point now) {
  counts_.downs++;
  server_->SendDown(downPort_->Channel());
  phase_ = Phase::Down;
  deadline_ = now + SoakTime(kLongestDownBeforeReopen * static_cast<double>(random_() % 1000) / 1000);
}

}  // namespace tessacom
