#include "soak/soak.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <ostream>
#include <random>
#include <thread>

#include "devserver.h"
#include "host_session.h"
#include "soak/soak_port.h"
#include "soak/soak_remote.h"
#include "soak/soak_report.h"
#include "stop_signals.h"

namespace tessacom {

namespace {

constexpr int kServers = 2;
constexpr int kPortsPerServer = 4;
constexpr int kPorts = kServers * kPortsPerServer;
constexpr uint64_t kDefaultBytes = 16ull << 20;
constexpr double kDefaultSpeed = 100;
// A port that moves nothing for longer than the protocol needs to recover (a poll every 8 s of
// the driver's clock: eight of them, which also covers a remote vanishing for 20 s) has
// stalled; never less than a floor of real time, for a loaded machine's scheduling.
constexpr double kRecoverySeconds = 64;
constexpr std::chrono::seconds kStallFloor{5};
constexpr std::chrono::hours kOverallLimit{2};

// Loopback addresses of this run's own, from the process id, in 127.64.0.0 to 127.67.255.255,
// which the test suites and other tools leave to the soak: four per run, the driver at the
// first, the servers after it.
uint32_t RunAddress(int which) {
  const uint32_t base = 0x7F400000 | ((static_cast<uint32_t>(getpid()) & 0xFFFF) << 2);
  return base + 1 + static_cast<uint32_t>(which);
}

void Configure(HostSession& session, std::vector<std::unique_ptr<SoakRemote>>& remotes) {
  session.PrepareRegistry(std::nullopt);
  session.SetConfiguration("StartPort", 3);
  session.SetConfiguration("MaxPort", kPorts);
  for (int n = 1; n <= kPorts; n++) {
    // "StartNum" counts channels from 1: wire channel c is c + 1.
    session.SetConfiguration("StartNum" + std::to_string(n), (n - 1) % kPortsPerServer + 2);
    session.SetConfiguration("dAddress" + std::to_string(n),
                             remotes[(n - 1) / kPortsPerServer]->Server().Local().address);
  }
}

SoakClock::duration StallLimit(double speed) {
  const auto protocol = std::chrono::duration_cast<SoakClock::duration>(
      std::chrono::duration<double>(kRecoverySeconds / speed));
  return std::max<SoakClock::duration>(protocol, kStallFloor);
}

// Feeds the lines, runs the remotes' events, ends the ports that stall and shows progress,
// until every port has finished, the overall limit passed or a stop was asked for (Ctrl-C,
// SIGTERM); true for a stop.
bool Drive(std::vector<std::unique_ptr<SoakPort>>& ports,
           std::vector<std::unique_ptr<SoakRemote>>& remotes, uint64_t bytes, double speed,
           uint64_t seed, std::ostream& out) {
  const bool terminal = isatty(STDOUT_FILENO);
  std::mt19937_64 random(seed);
  const SoakClock::time_point start = SoakClock::now();
  SoakClock::time_point lastShown = start;
  const SoakClock::duration stallLimit = StallLimit(speed);
  for (;;) {
    bool finished = true;
    const SoakClock::time_point now = SoakClock::now();
    for (size_t i = 0; i < ports.size(); i++) {
      SoakPort& port = *ports[i];
      port.Feed(random);
      const SoakRemote& remote = *remotes[i / kPortsPerServer];
      const LinkCounter& counter = remote.Counter();
      if (const auto stalled = port.Stalled(now, stallLimit, counter.LastTaken(port.Channel()),
                                            remote.BackFromVanishing())) {
        port.Abandon(*stalled, counter.Recent(port.Channel()));
      }
      finished = finished && port.Finished();
    }
    for (auto& remote : remotes) remote->Tick(now);
    if (finished) break;
    if (StopRequested()) {
      out << "\nsoak: " << StopWord() << " after "
          << std::chrono::duration_cast<std::chrono::seconds>(now - start).count()
          << " s: the ports stop; the summary is PARTIAL, what was checked until now\n";
      return true;
    }
    if (now - start > kOverallLimit) {
      out << "\nsoak: stopped: the overall limit passed\n";
      break;
    }
    if (now - lastShown >= std::chrono::seconds(terminal ? 1 : 10)) {
      lastShown = now;
      ShowProgress(ports, bytes, now - start, terminal, out);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  if (terminal) out << "\n";
  return false;
}

}  // namespace

int RunSoak(const Options& options, std::ostream& out) {
  const uint64_t bytes = options.bytes.value_or(kDefaultBytes);
  SoakFaults faults;
  faults.seed = options.seed.value_or(1);
  faults.speed = options.speed.value_or(kDefaultSpeed);
  faults.beyondLimit = options.beyondLimit;
  const uint16_t wirePort = LinkWirePort(kUnprivilegedLinkPort);
  std::vector<std::unique_ptr<SoakRemote>> remotes;
  for (int i = 0; i < kServers; i++) {
    remotes.push_back(std::make_unique<SoakRemote>(i, faults));
    if (!remotes.back()->Start(RunAddress(1 + i), RunAddress(0), wirePort, out)) return 1;
  }
  ShowPlan(kPorts, kServers, bytes, faults, out);
  HostSession session(options.image, RunAddress(0), wirePort, faults.speed);
  if (options.pcap && !session.StartCapture(*options.pcap, out)) return 1;
  Configure(session, remotes);
  if (const NTSTATUS status = session.Load(); !NT_SUCCESS(status)) {
    out << "soak: the driver did not load (status 0x" << std::hex << status << std::dec << ")\n";
    return 1;
  }
  std::vector<std::unique_ptr<SoakPort>> ports;
  for (int i = 0; i < kPorts; i++) {
    SoakRemote& remote = *remotes[i / kPortsPerServer];
    const SoakPortPlace place{"COM" + std::to_string(3 + i), i, &remote.Server(),
                              static_cast<uint8_t>(i % kPortsPerServer + 1), faults.speed};
    ports.push_back(std::make_unique<SoakPort>(place, session.Driver(), bytes / (2 * kPorts),
                                               faults.seed * 100 + i));
    remote.Attach(ports.back().get());
  }
  const SoakClock::time_point opening = SoakClock::now();
  for (auto& port : ports) port->Start();
  char took[32];
  std::snprintf(took, sizeof took, "%.1f", std::chrono::duration<double>(SoakClock::now() - opening).count());
  out << "soak: the ports opened in " << took << " s\n";
  const bool stopped = Drive(ports, remotes, bytes, faults.speed, faults.seed, out);
  for (auto& port : ports) port->RequestStop();
  for (auto& remote : remotes) remote->JoinReopen();
  for (auto& port : ports) port->Stop();
  for (auto& port : ports) port->CheckWrites();
  const size_t errors = Report(ports, remotes, faults, out);
  ports.clear();
  session.Unload(out);
  for (auto& remote : remotes) remote->Stop();
  if (errors != 0 && !faults.beyondLimit) return 1;
  return stopped ? StoppedExitStatus() : 0;
}

}  // namespace tessacom
