// The remote serial device server emulator: the far end of the driver's UDP link. It binds
// one local address (port 519 unless told otherwise), serves the 256 channels on it from a
// background thread, and lets a test or a person see and steer what happens on each channel.
// Its calls take a channel's wire byte (0 to 255); what it shows people (trace, notes, status)
// names the channel by its number, wire byte + 1, as the registry does (channel_number.h).
//
// Everything runs on real time: the server is an outside program to the driver, so the wait
// helpers take real-time limits. Callbacks (trace, notes) are called on the server's thread
// with its lock held; they must not call back into the server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel.h"
#include "channel_number.h"
#include "endpoint.h"
#include "fault_injector.h"
#include "host/net/pcap_file.h"
#include "line_backend.h"
#include "trace.h"

namespace devserver {

// Different decision sequences for the two directions from one seed.
constexpr uint64_t kToDriverSeedMix = 0x9E3779B97F4A7C15ull;

struct FaultOptions {
  uint64_t seed = 1;
  FaultProfile fromDriver;  // applied to datagrams the server receives
  FaultProfile toDriver;    // applied to datagrams the server sends
};

struct ServerOptions {
  Endpoint bind{0x7F000001, kLinkPort};
  // Where packets go before the driver has been heard from on a channel (optional).
  std::optional<Endpoint> driver;
  BackendKind backend = BackendKind::Programmatic;  // for channels not listed below
  std::map<uint8_t, BackendKind> channelBackends;   // channels made at start, by wire byte
  std::map<uint8_t, std::string> channelDevices;    // the device path of each tty line
  bool backendSequenced = true;  // bytes from echo and pty backends go as SEQDATA, else DATA
  ProtocolOptions protocol;
  FaultOptions faults;
  std::function<void(const TraceRecord&)> onTrace;
  std::function<void(const std::string&)> onNote;
  size_t traceLimit = 100000;  // records kept (the oldest are forgotten first); 0: none
  bool traceBytes = false;     // each record also shows its payload's bytes (TraceRecord::bytes)
  // A pcap file of every datagram the server's socket sends or takes, as on the wire (before
  // the fault injection of what it takes, after that of what it sends); "" for none.
  std::string capture;
  uint64_t captureLimitBytes = host::net::PcapFile::kDefaultLimitBytes;
};

enum class Sequencing { Sequenced, Unsequenced };

struct ServerStats {
  size_t datagramsIn = 0;   // received from the socket
  size_t datagramsOut = 0;  // handed to the socket
  size_t droppedIn = 0;     // lost to fault injection
  size_t droppedOut = 0;
  size_t shortDatagrams = 0;
  size_t sendErrors = 0;
  size_t vanishedIn = 0;   // lost while the server was vanished (after fault injection)
  size_t vanishedOut = 0;
  FaultCounts faultsIn;   // what fault injection did to datagrams from the driver
  FaultCounts faultsOut;  // and to datagrams toward it
  size_t kernelDrops = 0;  // by Linux on the server's socket, as it reports them
  struct PeerCounts {
    size_t in = 0;   // taken from the socket
    size_t out = 0;  // handed to it
  };
  std::map<Endpoint, PeerCounts> byPeer;
  size_t captured = 0;         // datagrams in the capture file
  size_t captureRefused = 0;   // past its limit, not in it
};

class DeviceServer {
 public:
  explicit DeviceServer(ServerOptions options = {});
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Binds and starts serving; false with `error` set when the address cannot be had.
  bool Start(std::string* error = nullptr);
  void Stop();
  bool Running() const;
  Endpoint Local() const;
  // CPU time (user + system) the server's thread has used so far; 0 when it is not running.
  std::chrono::nanoseconds ThreadCpuTime() const;

  ChannelSnapshot Channel(uint8_t channel) const;
  std::vector<uint8_t> Written(uint8_t channel) const;
  std::string BackendDescription(uint8_t channel) const;
  std::vector<uint8_t> OpenChannels() const;

  // Line bytes for the driver on a channel (as if they arrived on the serial line).
  void InjectLineBytes(uint8_t channel, std::span<const uint8_t> bytes,
                       Sequencing sequencing = Sequencing::Sequenced);
  void InjectLineText(uint8_t channel, std::string_view text,
                      Sequencing sequencing = Sequencing::Sequenced);
  // The remote's own events. DOWN: the channel closes on the server (what was in flight is
  // numbered afresh after the next OPEN).
  void SendDown(uint8_t channel);
  void SendPoll(uint8_t channel);
  // A burst of `count` POLLs on the channel, back to back (a poll flood).
  void SendPolls(uint8_t channel, unsigned count);
  // An open reply exactly as the server answers an OPEN (the configured length field and open
  // sequence), though no OPEN came: a duplicated or late reply. The server's state is unchanged.
  void SendOpenReply(uint8_t channel);
  // For `duration` (real time) the server takes and sends nothing, as if the network to it
  // were cut: datagrams both ways are dropped and counted in ServerStats (vanishedIn/Out), its
  // channels and timers go on; afterwards it serves as before. Another call while vanished
  // extends the cut to whichever end is later.
  void Vanish(std::chrono::milliseconds duration);
  // Any bytes as one datagram, to `to` or else to the driver's address (the configured one,
  // or the newest source heard from).
  void SendRaw(std::span<const uint8_t> datagram, std::optional<Endpoint> to = std::nullopt);
  void SetProtocolOptions(const ProtocolOptions& protocol);
  // Replaces the fault injection of both directions from now on; datagrams held back by the
  // previous injection are forgotten.
  void SetFaults(const FaultOptions& faults);
  ProtocolOptions GetProtocolOptions() const;

  // The status of the channel (or of every open channel), of each driver heard from and of the
  // server's socket, in the lines and words of the driver host's own status (link_status.h).
  std::string StatusText(std::optional<uint8_t> channel = std::nullopt) const;
  std::string StatusText(const std::vector<uint8_t>& channels) const;
  // The server's end as a device server's: every open channel closed with a DOWN to its
  // driver, so that the driver's ports learn the link is down. Returns the channels closed.
  std::vector<uint8_t> CloseChannels();

  std::vector<TraceRecord> Trace() const;
  // Each record's line, followed by its payload's lines when the trace shows bytes.
  std::vector<std::string> TraceLines() const;
  void ClearTrace();
  std::vector<std::string> Notes() const;
  ServerStats Stats() const;

  // Wait helpers: true as soon as the condition holds, false when `limit` passed first.
  bool WaitForChannel(uint8_t channel, const std::function<bool(const ChannelSnapshot&)>& ready,
                      std::chrono::milliseconds limit) const;
  bool WaitForOpen(uint8_t channel, std::chrono::milliseconds limit) const;
  bool WaitForClosed(uint8_t channel, std::chrono::milliseconds limit) const;
  bool WaitForWritten(uint8_t channel, size_t bytes, std::chrono::milliseconds limit) const;
  bool WaitForTrace(const std::function<bool(const std::vector<TraceRecord>&)>& ready,
                    std::chrono::milliseconds limit) const;

 private:
  struct Entry {
    explicit Entry(uint8_t number) : channel(number) {}
    devserver::Channel channel;
    std::unique_ptr<LineBackend> backend;
    bool backendPolled = true;
  };

  Entry& EntryFor(uint8_t channel);  // made on first use; lock held
  // Runs `act` on the channel under the lock and applies what it did.
  void ActOn(uint8_t channel,
             const std::function<void(devserver::Channel&, Clock::time_point, Effects&)>& act);
  void Run();
  void Wake();
  void ReceiveAll();
  void Process(const Datagram& datagram, Clock::time_point now);
  void Apply(Entry& entry, Effects& effects, Clock::time_point now);
  void ApplyToLine(Entry& entry, const Effects& effects);
  void SendOut(Datagram datagram, Clock::time_point now);
  void Transmit(const Datagram& datagram);
  // Reads one datagram from the socket with the kernel's drop count and its destination;
  // false when none is waiting.
  bool ReadDatagram(Datagram* datagram, uint32_t* destination);
  void Capture(const Endpoint& from, const Endpoint& to, std::span<const uint8_t> bytes);
  void Record(Direction direction, const Datagram& datagram, const std::string& verdict = "");
  bool Vanished(Clock::time_point now) const { return vanishedUntil_ && now < *vanishedUntil_; }
  void RecordVanished(Direction direction, Datagram datagram);
  void Note(const std::string& text);
  void RunTimers(Clock::time_point now);
  std::optional<Clock::time_point> NextDeadline() const;
  std::optional<Endpoint> DriverAddress() const;

  ServerOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<uint8_t, std::unique_ptr<Entry>> channels_;
  FaultyLink fromDriver_;
  FaultyLink toDriver_;
  std::vector<TraceRecord> trace_;
  std::vector<std::string> notes_;
  ServerStats stats_;
  std::optional<Endpoint> lastPeer_;
  std::optional<Clock::time_point> vanishedUntil_;
  Endpoint local_;
  Clock::time_point started_;
  std::vector<uint8_t> receiveBuffer_;  // the server thread's alone
  int socket_ = -1;
  uint32_t socketDrops_ = 0;  // the kernel's count as last reported
  host::net::PcapFile capture_;
  int wake_ = -1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace devserver
