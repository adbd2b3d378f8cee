// Read throughput: the remote offers line data without end, keeping at most one ring's worth
// (1023 bytes, three packets of 341) unacknowledged, and refills the moment a receive
// acknowledgement opens its window; one application reads as fast as it can.
#include <atomic>
#include <thread>

#include "bench_cost.h"
#include "bench_phases.h"

namespace tessacom::bench {

namespace {

constexpr unsigned kWindowPackets = 3;
constexpr size_t kPacketBytes = static_cast<size_t>(kRingBytes) / kWindowPackets;
constexpr ULONG kReadBytes = 4096;
constexpr auto kReadLimit = std::chrono::seconds(1);

double SequencedPackets(Rig& rig) {
  const devserver::ChannelSnapshot channel = rig.ServerOf(0).Channel(rig.Channel(0));
  return channel.seqDataSent + channel.seqDataResent;
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
  progress.Wait(plan.warmUpSeconds);
  const double bytesBefore = static_cast<double>(received.load());
  const double packetsBefore = SequencedPackets(rig);
  const CpuSample cpuBefore = SampleCpu(rig);
  const auto start = std::chrono::steady_clock::now();
  progress.Wait(plan.stretchSeconds);
  const double bytes = static_cast<double>(received.load()) - bytesBefore;
  const double packets = SequencedPackets(rig) - packetsBefore;
  const CpuSample cpuAfter = SampleCpu(rig);
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  reader.join();

  figures.intact = intact;
  if (!intact) problems.push_back(figures.label + ": the bytes read are not the remote's stream");
  figures.bytesPerSecond = bytes / figures.seconds;
  figures.packetsPerSecond = packets / figures.seconds;
  figures.meanPayload = packets > 0 ? bytes / packets : 0;
  figures.bound = kRingBytes / (kControlPauseSeconds + reference.ackSeconds);
  figures.ratio = figures.bytesPerSecond / figures.bound;
  figures.cost = CostOf(cpuBefore, cpuAfter, bytes);
  return figures;
}

}  // namespace tessacom::bench
