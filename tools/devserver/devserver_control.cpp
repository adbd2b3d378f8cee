// The device server's interface for tests and people: queries of channel state, injection
// of line bytes and of packets, protocol options, the trace and the wait helpers. Each call
// takes the server's lock; packets it causes go out at once, through the fault injection.
#include "devserver.h"

namespace devserver {

ChannelSnapshot DeviceServer::Channel(uint8_t channel) const {
  std::lock_guard lock(mutex_);
  const auto found = channels_.find(channel);
  if (found == channels_.end()) {
    ChannelSnapshot empty;
    empty.number = channel;
    return empty;
  }
  return found->second->channel.Snapshot();
}

std::vector<uint8_t> DeviceServer::Written(uint8_t channel) const {
  std::lock_guard lock(mutex_);
  const auto found = channels_.find(channel);
  return found == channels_.end() ? std::vector<uint8_t>{} : found->second->channel.Written();
}

std::string DeviceServer::BackendDescription(uint8_t channel) const {
  std::lock_guard lock(mutex_);
  const auto found = channels_.find(channel);
  return found == channels_.end() ? std::string(BackendKindName(options_.backend))
                                  : found->second->backend->Describe();
}

std::vector<uint8_t> DeviceServer::OpenChannels() const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> open;
  for (const auto& [number, entry] : channels_) {
    if (entry->channel.Snapshot().open) open.push_back(number);
  }
  return open;
}

void DeviceServer::ActOn(
    uint8_t channel,
    const std::function<void(devserver::Channel&, Clock::time_point, Effects&)>& act) {
  {
    std::lock_guard lock(mutex_);
    Entry& entry = EntryFor(channel);
    Effects effects;
    const Clock::time_point now = Clock::now();
    act(entry.channel, now, effects);
    Apply(entry, effects, now);
  }
  Wake();  // resend deadlines and held datagrams may have changed
  changed_.notify_all();
}

void DeviceServer::InjectLineBytes(uint8_t channel, std::span<const uint8_t> bytes,
                                   Sequencing sequencing) {
  ActOn(channel, [&](devserver::Channel& c, Clock::time_point now, Effects& effects) {
    c.QueueLineBytes(bytes, sequencing == Sequencing::Sequenced, now, options_.protocol, effects);
  });
}

void DeviceServer::InjectLineText(uint8_t channel, std::string_view text, Sequencing sequencing) {
  InjectLineBytes(channel,
                  std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                  sequencing);
}

void DeviceServer::SendDown(uint8_t channel) {
  ActOn(channel, [](devserver::Channel& c, Clock::time_point, Effects& effects) {
    c.SendDown(effects);
  });
}

std::vector<uint8_t> DeviceServer::CloseChannels() {
  const std::vector<uint8_t> open = OpenChannels();
  for (const uint8_t channel : open) SendDown(channel);
  return open;
}

void DeviceServer::SendPoll(uint8_t channel) { SendPolls(channel, 1); }

void DeviceServer::SendPolls(uint8_t channel, unsigned count) {
  ActOn(channel, [count](devserver::Channel& c, Clock::time_point, Effects& effects) {
    for (unsigned i = 0; i < count; ++i) c.SendPoll(effects);
    if (count > 1) {
      effects.notes.push_back(ChannelName(c.Number()) + ": a burst of " +
                              std::to_string(count) + " polls");
    }
  });
}

void DeviceServer::SendOpenReply(uint8_t channel) {
  ActOn(channel, [this](devserver::Channel& c, Clock::time_point, Effects& effects) {
    c.SendOpenReply(options_.protocol, effects);
  });
}

void DeviceServer::Vanish(std::chrono::milliseconds duration) {
  {
    std::lock_guard lock(mutex_);
    const Clock::time_point until = Clock::now() + duration;
    if (!vanishedUntil_ || *vanishedUntil_ < until) vanishedUntil_ = until;
    Note("vanished for " + std::to_string(duration.count()) + " ms: nothing taken or sent");
  }
  Wake();  // the thread must learn when it ends
  changed_.notify_all();
}

void DeviceServer::SendRaw(std::span<const uint8_t> datagram, std::optional<Endpoint> to) {
  {
    std::lock_guard lock(mutex_);
    if (!to) to = DriverAddress();
    if (!to) {
      Note("raw datagram not sent: no driver address known");
      return;
    }
    SendOut(Datagram{*to, std::vector<uint8_t>(datagram.begin(), datagram.end()), {}},
            Clock::now());
  }
  changed_.notify_all();
}

void DeviceServer::SetProtocolOptions(const ProtocolOptions& protocol) {
  {
    std::lock_guard lock(mutex_);
    options_.protocol = protocol;
  }
  Wake();
}

void DeviceServer::SetFaults(const FaultOptions& faults) {
  {
    std::lock_guard lock(mutex_);
    options_.faults = faults;
    fromDriver_ = FaultyLink(faults.seed, faults.fromDriver);
    toDriver_ = FaultyLink(faults.seed ^ kToDriverSeedMix, faults.toDriver);
  }
  Wake();
}

ProtocolOptions DeviceServer::GetProtocolOptions() const {
  std::lock_guard lock(mutex_);
  return options_.protocol;
}

std::vector<TraceRecord> DeviceServer::Trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

std::vector<std::string> DeviceServer::TraceLines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(trace_.size());
  for (const TraceRecord& r : trace_) {
    lines.push_back(r.text);
    lines.insert(lines.end(), r.bytes.begin(), r.bytes.end());
  }
  return lines;
}

void DeviceServer::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

std::vector<std::string> DeviceServer::Notes() const {
  std::lock_guard lock(mutex_);
  return notes_;
}

ServerStats DeviceServer::Stats() const {
  std::lock_guard lock(mutex_);
  ServerStats stats = stats_;
  stats.faultsIn = fromDriver_.Counts();
  stats.faultsOut = toDriver_.Counts();
  return stats;
}

bool DeviceServer::WaitForChannel(uint8_t channel,
                                  const std::function<bool(const ChannelSnapshot&)>& ready,
                                  std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    const auto found = channels_.find(channel);
    if (found == channels_.end()) {
      ChannelSnapshot empty;
      empty.number = channel;
      return ready(empty);
    }
    return ready(found->second->channel.Snapshot());
  });
}

bool DeviceServer::WaitForOpen(uint8_t channel, std::chrono::milliseconds limit) const {
  return WaitForChannel(channel, [](const ChannelSnapshot& c) { return c.open; }, limit);
}

bool DeviceServer::WaitForClosed(uint8_t channel, std::chrono::milliseconds limit) const {
  return WaitForChannel(channel, [](const ChannelSnapshot& c) { return c.closes > 0 && !c.open; },
                        limit);
}

bool DeviceServer::WaitForWritten(uint8_t channel, size_t bytes,
                                  std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    const auto found = channels_.find(channel);
    return found != channels_.end() && found->second->channel.Written().size() >= bytes;
  });
}

bool DeviceServer::WaitForTrace(const std::function<bool(const std::vector<TraceRecord>&)>& ready,
                                std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return ready(trace_); });
}

}  // namespace devserver
