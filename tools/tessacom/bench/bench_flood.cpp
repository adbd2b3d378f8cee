// The good port under a flood: two remotes, each serving one port. COM3's remote echoes its
// line; COM4's remote, with COM4 closed, floods the driver's address from its own socket as
// fast as a thread can send: garbage, and well-formed DATA, SEQDATA and POLL for the channel it
// serves. COM3 runs echo round trips of one data packet for a stretch without the flood and for
// one with it; the transport's counters say what was dropped, and where.
#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "bench/bench_phases.h"
#include "host/net/udp_transport.h"
#include "wire.h"

namespace tessacom::bench {

namespace {

constexpr int kGoodPort = 0;
constexpr int kFloodedPort = 1;
constexpr size_t kBlockBytes = 128;  // one data packet out, one back
constexpr auto kRoundTripLimit = std::chrono::seconds(10);  // past the driver's recovery by polls
constexpr int kFloodKinds = 64;  // distinct datagrams the flooder cycles through

// The flooder's datagrams: every fourth garbage, the others DATA, SEQDATA and POLL for the
// channel, with payloads of every length the driver takes.
std::vector<std::vector<uint8_t>> FloodDatagrams(uint8_t channel) {
  std::mt19937 random(519);
  std::vector<std::vector<uint8_t>> datagrams;
  for (int i = 0; i < kFloodKinds; i++) {
    std::vector<uint8_t> payload(random() % (devserver::kMaxPayload + 1));
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
    const uint8_t sequence = static_cast<uint8_t>(1 + i % 15);
    const int kind = i % 4;
    if (kind == 0) {
      datagrams.push_back(payload);
      continue;
    }
    constexpr uint8_t kTypes[] = {devserver::kData, devserver::kSeqData, devserver::kPoll};
    const uint8_t type = kTypes[kind - 1];
    if (type == devserver::kPoll) payload.clear();
    datagrams.push_back(devserver::Encode(type, channel, sequence, payload));
  }
  return datagrams;
}

// Sends the flood from the remote's own address and port until stopped.
class Flooder {
 public:
  Flooder(devserver::DeviceServer& server, uint8_t channel) : server_(server) {
    thread_ = std::thread([this, datagrams = FloodDatagrams(channel)] {
      for (size_t i = 0; !stop_.load(std::memory_order_relaxed); i++) {
        server_.SendRaw(datagrams[i % datagrams.size()]);
      }
    });
  }
  ~Flooder() {
    stop_ = true;
    thread_.join();
  }

 private:
  devserver::DeviceServer& server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One round trip: a block of `value` written, and read back whole. Bytes of another value
// (late ones of an earlier round trip) are passed over. False when the write fails or the
// block is not back within the limit.
bool RoundTrip(host::io::File& file, uint8_t value) {
  const std::vector<uint8_t> block(kBlockBytes, value);
  const auto deadline = std::chrono::steady_clock::now() + kRoundTripLimit;
  host::io::AsyncRequest write = file.WriteAsync(block.data(), kBlockBytes);
  if (!write.WaitFor(kRoundTripLimit)) {
    write.Cancel();
    write.Wait();
    return false;
  }
  if (write.Wait().status != STATUS_SUCCESS) return false;
  uint8_t buffer[kBlockBytes];
  for (size_t back = 0; back < kBlockBytes;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const std::optional<ULONG_PTR> read = ReadWithin(file, buffer, kBlockBytes - back, left);
    if (!read) return false;
    back += static_cast<size_t>(std::count(buffer, buffer + *read, value));
  }
  return true;
}

// Round trips on the good port for the plan's stretch.
EchoUnderLoad EchoForAStretch(Rig& rig, double seconds) {
  EchoUnderLoad figures;
  std::vector<double> micros;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  for (unsigned i = 0; std::chrono::steady_clock::now() < end; i++) {
    const auto sent = std::chrono::steady_clock::now();
    if (!RoundTrip(rig.File(kGoodPort), static_cast<uint8_t>(i))) {
      figures.failed++;
      continue;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
  }
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.bytesPerSecond = static_cast<double>(micros.size() * kBlockBytes) / figures.seconds;
  figures.micros = Summarise(std::move(micros));
  return figures;
}

}  // namespace

Flood MeasureFlood(const Plan& plan, const Reference& reference, Progress& progress,
                   std::vector<std::string>& problems) {
  Flood figures;
  RigLayout layout;
  layout.ports = 2;
  layout.servers = 2;
  layout.backend = devserver::BackendKind::Echo;
  layout.sequencedLine = false;
  Rig rig(plan.image, reference.addresses, layout);
  if (!rig.Load() || !rig.OpenAll(1) || !NT_SUCCESS(rig.File(kFloodedPort).Close())) {
    problems.push_back("flood: " + rig.Problem());
    return figures;
  }
  figures.quiet = EchoForAStretch(rig, plan.stretchSeconds);
  devserver::DeviceServer& flooder = rig.ServerOf(kFloodedPort);
  host::net::ResetCounters();
  const size_t sentBefore = flooder.Stats().datagramsOut;
  const auto floodStart = std::chrono::steady_clock::now();
  {
    Flooder flood(flooder, rig.Channel(kFloodedPort));
    progress.Wait(plan.warmUpSeconds);
    figures.flooded = EchoForAStretch(rig, plan.stretchSeconds);
  }
  const host::net::Counters counts = host::net::GetCounters();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStart).count();
  figures.floodPerSecond = static_cast<double>(flooder.Stats().datagramsOut - sentBefore) / seconds;
  figures.takenPerSecond = static_cast<double>(counts.datagramsReceived) / seconds;
  figures.transportDropped = static_cast<double>(counts.queueDropped);
  // The sources as the driver sees them: the link port, whatever port carries it on the wire.
  figures.fromFlooder = static_cast<double>(
      host::net::DroppedFrom(flooder.Local().address, devserver::kLinkPort));
  figures.fromGoodRemote = static_cast<double>(
      host::net::DroppedFrom(rig.ServerOf(kGoodPort).Local().address, devserver::kLinkPort));
  figures.kernelDropped = static_cast<double>(counts.kernelDropped);
  return figures;
}

}  // namespace tessacom::bench
