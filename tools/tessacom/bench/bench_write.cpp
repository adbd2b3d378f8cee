// Write throughput: one application thread per port writes without pause; what the emulators
// take over a measured stretch, against the bound of the sender's pace.
#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/bench_cost.h"
#include "bench/bench_phases.h"

namespace tessacom::bench {

namespace {

constexpr ULONG kWriteBytes = 4096;  // 32 data packets per write
constexpr int kOpeners = 16;

struct Taken {
  double bytes = 0;
  double packets = 0;
};

Taken TakenByServers(Rig& rig) {
  Taken taken;
  for (int port = 0; port < rig.Ports(); port++) {
    const devserver::ChannelSnapshot channel = rig.ServerOf(port).Channel(rig.Channel(port));
    taken.bytes += static_cast<double>(channel.written.size());
    taken.packets += channel.dataPackets;
  }
  return taken;
}

std::string Label(int ports, int servers) {
  return "write " + std::to_string(ports) + (ports == 1 ? " port" : " ports") + " / " +
         std::to_string(servers) + (servers == 1 ? " server" : " servers");
}

}  // namespace

Throughput MeasureWrites(const Plan& plan, const Reference& reference, int ports, int servers,
                         Progress& progress, std::vector<std::string>& problems) {
  Throughput figures;
  figures.label = Label(ports, servers);
  figures.ports = ports;
  figures.servers = servers;
  RigLayout layout;
  layout.ports = ports;
  layout.servers = servers;
  Rig rig(plan.image, reference.addresses, layout);
  if (!rig.Load() || !rig.OpenAll(kOpeners)) {
    problems.push_back(figures.label + ": " + rig.Problem());
    return figures;
  }
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int port = 0; port < ports; port++) {
    writers.emplace_back([&, port] {
      std::vector<uint8_t> data(kWriteBytes);
      for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + port);
      while (!stop.load(std::memory_order_relaxed)) {
        const host::io::Result written = rig.File(port).Write(data.data(), kWriteBytes);
        if (written.status != STATUS_SUCCESS || written.information != kWriteBytes) {
          failed++;
          return;
        }
      }
    });
  }
  progress.Wait(plan.warmUpSeconds);
  const Taken before = TakenByServers(rig);
  const CpuSample cpuBefore = SampleCpu(rig);
  const auto start = std::chrono::steady_clock::now();
  progress.Wait(plan.stretchSeconds);
  const Taken after = TakenByServers(rig);
  const CpuSample cpuAfter = SampleCpu(rig);
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  for (std::thread& writer : writers) writer.join();
  if (failed > 0) problems.push_back(figures.label + ": " + std::to_string(failed.load()) + " writes failed");

  const double bytes = after.bytes - before.bytes;
  const double packets = after.packets - before.packets;
  figures.bytesPerSecond = bytes / figures.seconds;
  figures.packetsPerSecond = packets / figures.seconds;
  figures.meanPayload = packets > 0 ? bytes / packets : 0;
  figures.bound = std::min(kAllPortsBound,
                           ports * kDataPacketBytes / (kDataPauseSeconds + reference.ackSeconds));
  figures.ratio = figures.bytesPerSecond / figures.bound;
  figures.cost = CostOf(cpuBefore, cpuAfter, bytes);
  return figures;
}

}  // namespace tessacom::bench
