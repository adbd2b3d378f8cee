// The device server: its socket, its thread and the routing of datagrams between the socket,
// the fault injectors, the channels and their line backends.
#include "devserver.h"

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace devserver {

DeviceServer::DeviceServer(ServerOptions options)
    : options_(std::move(options)),
      fromDriver_(options_.faults.seed, options_.faults.fromDriver),
      toDriver_(options_.faults.seed ^ kToDriverSeedMix, options_.faults.toDriver) {}

DeviceServer::~DeviceServer() { Stop(); }

bool DeviceServer::Start(std::string* error) {
  std::string ignored;
  std::string& message = error != nullptr ? *error : ignored;
  if (thread_.joinable()) {
    message = "the server is already running";
    return false;
  }
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    message = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  setsockopt(socket_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);  // the kernel's drops, counted
  setsockopt(socket_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);   // each datagram's destination
  const sockaddr_in address = options_.bind.ToSockaddr();
  if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    message = "bind " + options_.bind.ToString() + ": " + std::strerror(errno);
    close(socket_);
    socket_ = -1;
    return false;
  }
  if (!options_.capture.empty() &&
      !capture_.Open(options_.capture, options_.captureLimitBytes, &message)) {
    close(socket_);
    socket_ = -1;
    return false;
  }
  sockaddr_in bound;
  socklen_t length = sizeof bound;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
  local_ = Endpoint::FromSockaddr(bound);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    message = std::string("eventfd: ") + std::strerror(errno);
    close(socket_);
    socket_ = -1;
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    started_ = Clock::now();
    stopping_ = false;
    for (const auto& [number, kind] : options_.channelBackends) {
      std::string problem;
      const auto device = options_.channelDevices.find(number);
      std::unique_ptr<LineBackend> backend = MakeBackend(
          kind, &problem, device == options_.channelDevices.end() ? std::string() : device->second);
      if (!backend) {
        message = "channel " + std::to_string(ChannelNumber(number)) + ": " + problem;
        channels_.clear();
        close(wake_);
        close(socket_);
        wake_ = socket_ = -1;
        return false;
      }
      auto entry = std::make_unique<Entry>(number);
      entry->backend = std::move(backend);
      if (options_.driver) entry->channel.SetDefaultPeer(*options_.driver);
      Note(ChannelName(number) + " line: " + entry->backend->Describe());
      channels_[number] = std::move(entry);
    }
    Note("serving " + local_.ToString());
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void DeviceServer::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Wake();
  thread_.join();
  capture_.Close();
  close(socket_);
  close(wake_);
  socket_ = wake_ = -1;
  changed_.notify_all();
}

bool DeviceServer::Running() const { return thread_.joinable(); }

std::chrono::nanoseconds DeviceServer::ThreadCpuTime() const {
  clockid_t clock;
  timespec used{};
  // native_handle() is not const, though it changes nothing.
  auto& thread = const_cast<std::thread&>(thread_);
  if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
      clock_gettime(clock, &used) != 0) {
    return std::chrono::nanoseconds(0);
  }
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

Endpoint DeviceServer::Local() const { return local_; }

DeviceServer::Entry& DeviceServer::EntryFor(uint8_t channel) {
  std::unique_ptr<Entry>& slot = channels_[channel];
  if (!slot) {
    slot = std::make_unique<Entry>(channel);
    std::string problem;
    slot->backend = MakeBackend(options_.backend, &problem);
    if (!slot->backend) {
      Note(ChannelName(channel) + ": " + problem + "; no line attached");
      slot->backend = MakeBackend(BackendKind::Programmatic, &problem);
    } else if (options_.backend != BackendKind::Programmatic) {
      Note(ChannelName(channel) + " line: " + slot->backend->Describe());
    }
    if (const std::optional<Endpoint> driver = DriverAddress()) slot->channel.SetDefaultPeer(*driver);
    Wake();  // a new descriptor to poll
  }
  return *slot;
}

std::optional<Endpoint> DeviceServer::DriverAddress() const {
  if (options_.driver) return options_.driver;
  return lastPeer_;
}

void DeviceServer::Wake() {
  if (wake_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

namespace {

// Appends to a record kept up to `limit` entries; the oldest tenth goes when it is full.
template <typename T>
void Keep(std::vector<T>& kept, T entry, size_t limit) {
  if (limit == 0) return;
  if (kept.size() >= limit) kept.erase(kept.begin(), kept.begin() + (kept.size() / 10 + 1));
  kept.push_back(std::move(entry));
}

constexpr size_t kNotesKept = 10000;

}  // namespace

void DeviceServer::Note(const std::string& text) {
  if (options_.onNote) options_.onNote(text);
  Keep(notes_, text, kNotesKept);
}

void DeviceServer::Record(Direction direction, const Datagram& datagram,
                          const std::string& verdict) {
  if (options_.traceLimit == 0 && !options_.onTrace) return;  // nobody reads it: not made
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  TraceRecord record = MakeTraceRecord(seconds, direction, datagram.peer, datagram.bytes,
                                       datagram.fault, verdict);
  if (options_.traceBytes) record.bytes = PayloadLines(datagram.bytes);
  if (options_.onTrace) options_.onTrace(record);
  Keep(trace_, std::move(record), options_.traceLimit);
}

void DeviceServer::Run() {
  std::vector<pollfd> fds;
  std::vector<uint8_t> polledChannels;
  for (;;) {
    int timeout = -1;
    fds.clear();
    polledChannels.clear();
    fds.push_back({socket_, POLLIN, 0});
    fds.push_back({wake_, POLLIN, 0});
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      for (const auto& [number, entry] : channels_) {
        const int fd = entry->backendPolled ? entry->backend->PollDescriptor() : -1;
        if (fd < 0) continue;
        const short events = POLLIN | (entry->backend->WantsToWrite() ? POLLOUT : 0);
        fds.push_back({fd, events, 0});
        polledChannels.push_back(number);
      }
      if (const std::optional<Clock::time_point> next = NextDeadline()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
      }
    }
    poll(fds.data(), fds.size(), timeout);
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      const Clock::time_point now = Clock::now();
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
      }
      if (fds[0].revents & POLLIN) ReceiveAll();
      for (size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const auto found = channels_.find(polledChannels[i - 2]);
        if (found == channels_.end()) continue;
        Entry& entry = *found->second;
        if (fds[i].revents & POLLOUT) entry.backend->WriteReady();
        if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL))) continue;
        std::vector<uint8_t> bytes = entry.backend->ReadFromDevice();
        if (bytes.empty() && (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL))) {
          entry.backendPolled = false;
          Note(ChannelName(found->first) + " line: " +
               entry.backend->Describe() + " closed");
          continue;
        }
        Effects effects;
        entry.channel.QueueLineBytes(bytes, options_.backendSequenced, now, options_.protocol,
                                     effects);
        Apply(entry, effects, now);
      }
      RunTimers(now);
    }
    changed_.notify_all();
  }
}

void DeviceServer::ReceiveAll() {
  for (;;) {
    Datagram datagram;
    uint32_t destination = local_.address;
    if (!ReadDatagram(&datagram, &destination)) return;
    const Clock::time_point now = Clock::now();
    ++stats_.datagramsIn;
    ++stats_.byPeer[datagram.peer].in;
    Capture(datagram.peer, Endpoint{destination, local_.port}, datagram.bytes);
    std::vector<Datagram> pass;
    std::vector<Datagram> dropped;
    fromDriver_.Offer(std::move(datagram), now, pass, dropped);
    for (const Datagram& d : dropped) {
      ++stats_.droppedIn;
      Record(Direction::FromDriver, d);
    }
    for (const Datagram& d : pass) Process(d, now);
  }
}

void DeviceServer::Process(const Datagram& datagram, Clock::time_point now) {
  if (Vanished(now)) {
    RecordVanished(Direction::FromDriver, datagram);
    return;
  }
  lastPeer_ = datagram.peer;
  const std::optional<Packet> packet = Decode(datagram.bytes);
  if (!packet) {
    Record(Direction::FromDriver, datagram);
    ++stats_.shortDatagrams;
    return;
  }
  Entry& entry = EntryFor(packet->channel);
  Effects effects;
  entry.channel.OnPacket(*packet, datagram.peer, now, options_.protocol, effects);
  Record(Direction::FromDriver, datagram, effects.verdict);  // before what it causes
  Apply(entry, effects, now);
}

void DeviceServer::RecordVanished(Direction direction, Datagram datagram) {
  ++(direction == Direction::FromDriver ? stats_.vanishedIn : stats_.vanishedOut);
  datagram.fault = datagram.fault.empty() ? "vanished" : datagram.fault + ",vanished";
  Record(direction, datagram);
}

void DeviceServer::Apply(Entry& entry, Effects& effects, Clock::time_point now) {
  for (const std::string& note : effects.notes) Note(note);
  for (Datagram& d : effects.send) SendOut(std::move(d), now);
  ApplyToLine(entry, effects);
  if (effects.toLine.empty()) return;
  const std::vector<uint8_t> back = entry.backend->FromDriver(effects.toLine);
  if (back.empty()) return;
  Effects echoed;
  entry.channel.QueueLineBytes(back, options_.backendSequenced, now, options_.protocol, echoed);
  Apply(entry, echoed, now);
}

void DeviceServer::ApplyToLine(Entry& entry, const Effects& effects) {
  std::string problem;
  if (effects.lineSettings) problem = entry.backend->ApplySettings(*effects.lineSettings);
  if (effects.lineBreak) problem += entry.backend->SetBreak(*effects.lineBreak);
  if (!problem.empty()) Note(ChannelName(entry.channel.Number()) + " line: " + problem);
}

void DeviceServer::SendOut(Datagram datagram, Clock::time_point now) {
  std::vector<Datagram> pass;
  std::vector<Datagram> dropped;
  toDriver_.Offer(std::move(datagram), now, pass, dropped);
  for (const Datagram& d : dropped) {
    ++stats_.droppedOut;
    Record(Direction::ToDriver, d);
  }
  for (const Datagram& d : pass) Transmit(d);
  if (toDriver_.Held() > 0) Wake();  // the thread must learn the release time
}

void DeviceServer::Transmit(const Datagram& datagram) {
  if (Vanished(Clock::now())) {
    RecordVanished(Direction::ToDriver, datagram);
    return;
  }
  const sockaddr_in to = datagram.peer.ToSockaddr();
  const ssize_t n = sendto(socket_, datagram.bytes.data(), datagram.bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n < 0) {
    ++stats_.sendErrors;
    Datagram failed = datagram;
    failed.fault = failed.fault.empty() ? std::string("send failed: ") + std::strerror(errno)
                                        : failed.fault + ", send failed";
    Record(Direction::ToDriver, failed);
    return;
  }
  ++stats_.datagramsOut;
  ++stats_.byPeer[datagram.peer].out;
  Capture(local_, datagram.peer, datagram.bytes);
  Record(Direction::ToDriver, datagram);
}

void DeviceServer::RunTimers(Clock::time_point now) {
  if (vanishedUntil_ && now >= *vanishedUntil_) {
    vanishedUntil_.reset();
    Note("back after vanishing: " + std::to_string(stats_.vanishedIn) + " datagrams in and " +
         std::to_string(stats_.vanishedOut) + " out lost so far");
  }
  std::vector<Datagram> arrived;
  fromDriver_.Release(now, arrived);
  for (const Datagram& d : arrived) Process(d, now);
  std::vector<Datagram> leaving;
  toDriver_.Release(now, leaving);
  for (const Datagram& d : leaving) Transmit(d);
  for (auto& [number, entry] : channels_) {
    Effects effects;
    entry->channel.OnTimer(now, options_.protocol, effects);
    Apply(*entry, effects, now);
  }
}

std::optional<Clock::time_point> DeviceServer::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](std::optional<Clock::time_point> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  consider(vanishedUntil_);
  consider(fromDriver_.NextRelease());
  consider(toDriver_.NextRelease());
  for (const auto& [number, entry] : channels_) {
    consider(entry->channel.NextDeadline(options_.protocol));
  }
  return next;
}

}  // namespace devserver
