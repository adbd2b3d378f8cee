// Read throughput: the remote offers line data without end, keeping no more unacknowledged than
// the ring holds (two packets of 508 bytes, the largest the driver takes) and refilling the
// moment a receive acknowledgement opens its window; one application reads as fast as it can.
// Fewer, larger packets let each read, and so each acknowledgement, cover more bytes.
#include <atomic>
#include <thread>

#include "bench_cost.h"
#include "bench_phases.h"
#include "wire.h"

namespace tessacom::bench {

namespace {

constexpr unsigned kWindowPackets = 2;
constexpr size_t kPacketBytes = devserver::kMaxPayload;
static_assert(kWindowPackets * kPacketBytes <= kRingBytes, "the window overflows the ring");
constexpr ULONG kReadBytes = 4096;
constexpr auto kReadLimit = std::chrono::seconds(1);

struct Offered {
  double packets = 0;  // sequenced data packets sent, first sendings and resendings
  double receiveAcks = 0;
};

Offered CountOffered(Rig& rig) {
  const devserver::ChannelSnapshot channel = rig.ServerOf(0).Channel(rig.Channel(0));
  return {static_cast<double>(channel.seqDataSent + channel.seqDataResent),
          static_cast<double>(channel.rxAcks)};
}

}  // namespace

Throughput MeasureReads(const Plan& plan, const Reference& reference, Progress& progress,
                        std::vector<std::string>& problems) {
  Throughput figures;
  figures.label = "read 1 port / 1 server";
  figures.ports = figures.servers = 1;
  RigLayout layout;
  layout.protocol.offerLineData = true;
  layout.protocol.window = kWindowPackets;
  layout.protocol.maxPayload = kPacketBytes;
  Rig rig(plan.image, reference.addresses, layout);
  if (!rig.Load() || !rig.OpenAll(1)) {
    problems.push_back(figures.label + ": " + rig.Problem());
    return figures;
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> intact{true};
  std::atomic<uint64_t> received{0};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(kReadBytes);
    uint8_t expected = 0;  // the remote's stream counts from 0 at the open
    while (!stop.load(std::memory_order_relaxed)) {
      const std::optional<ULONG_PTR> read = ReadWithin(rig.File(0), buffer.data(), kReadBytes, kReadLimit);
      if (!read) {
        intact = false;  // an offering remote never leaves a read a second without data
        return;
      }
      for (size_t i = 0; i < *read; i++) {
        if (buffer[i] != expected++) intact = false;
      }
      received.fetch_add(*read, std::memory_order_relaxed);
    }
  });
  // What the remote sends before the first open has attached the ring is dropped, and comes
  // again only on its resend timer: the warm-up starts once the first bytes are in.
  for (int tenth = 0; tenth < 50 && received.load() == 0 && intact; tenth++) progress.Wait(0.1);
  progress.Wait(plan.warmUpSeconds);
  const double bytesBefore = static_cast<double>(received.load());
  const Offered before = CountOffered(rig);
  const CpuSample cpuBefore = SampleCpu(rig);
  const auto start = std::chrono::steady_clock::now();
  progress.Wait(plan.stretchSeconds);
  const double bytes = static_cast<double>(received.load()) - bytesBefore;
  const Offered after = CountOffered(rig);
  const double packets = after.packets - before.packets;
  const double receiveAcks = after.receiveAcks - before.receiveAcks;
  const CpuSample cpuAfter = SampleCpu(rig);
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  reader.join();

  figures.intact = intact;
  if (!intact) problems.push_back(figures.label + ": the bytes read are not the remote's stream");
  figures.bytesPerSecond = bytes / figures.seconds;
  figures.packetsPerSecond = packets / figures.seconds;
  figures.meanPayload = packets > 0 ? bytes / packets : 0;
  figures.bytesPerReceiveAck = receiveAcks > 0 ? bytes / receiveAcks : 0;
  figures.bound = kRingBytes / (kControlPauseSeconds + reference.ackSeconds);
  figures.ratio = figures.bytesPerSecond / figures.bound;
  figures.cost = CostOf(cpuBefore, cpuAfter, bytes);
  return figures;
}

}  // namespace tessacom::bench
