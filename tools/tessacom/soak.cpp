#include "soak.h"

#include <unistd.h>

#include <chrono>
#include <iomanip>
#include <memory>
#include <ostream>
#include <random>
#include <thread>

#include "devserver.h"
#include "host_session.h"
#include "soak_link_counter.h"
#include "soak_port.h"

namespace tessacom {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kServers = 2;
constexpr int kPortsPerServer = 4;
constexpr int kPorts = kServers * kPortsPerServer;
constexpr double kFaultRate = 0.05;
constexpr uint64_t kDefaultBytes = 16ull << 20;
constexpr double kDefaultSpeed = 100;
// No byte moving for this long (real time) ends the soak as stalled; nor does it run longer
// than the overall limit.
constexpr std::chrono::seconds kStallLimit{120};
constexpr std::chrono::hours kOverallLimit{2};

// Loopback addresses of this run's own, from the process id: 127.83.x.y, the driver at y+1,
// the servers after it.
uint32_t RunAddress(int which) {
  const uint32_t base = 0x7F530000 | ((static_cast<uint32_t>(getpid()) & 0x3FFF) << 2);
  return base + 1 + static_cast<uint32_t>(which);
}

struct Remote {
  LinkCounter counter;
  std::unique_ptr<devserver::DeviceServer> server;
};

bool StartRemote(Remote& remote, int index, uint16_t wirePort, uint64_t seed, std::ostream& out) {
  devserver::ServerOptions options;
  options.bind = devserver::Endpoint{RunAddress(1 + index), wirePort};
  options.driver = devserver::Endpoint{RunAddress(0), wirePort};
  options.protocol.resendInterval = std::chrono::milliseconds(10);
  devserver::FaultProfile faults;
  faults.drop = faults.duplicate = faults.reorder = faults.delay = kFaultRate;
  faults.delayBy = std::chrono::milliseconds(2);
  options.faults = {seed + static_cast<uint64_t>(index), faults, faults};
  options.traceLimit = 0;
  options.onTrace = [&remote](const devserver::TraceRecord& r) { remote.counter.Record(r); };
  remote.server = std::make_unique<devserver::DeviceServer>(options);
  std::string error;
  if (remote.server->Start(&error)) return true;
  out << "soak: the device server emulator cannot start: " << error << "\n";
  return false;
}

void Configure(HostSession& session, Remote (&remotes)[kServers]) {
  session.PrepareRegistry(std::nullopt);
  session.SetConfiguration("StartPort", 3);
  session.SetConfiguration("MaxPort", kPorts);
  for (int n = 1; n <= kPorts; n++) {
    // "StartNum" counts channels from 1: wire channel c is c + 1.
    session.SetConfiguration("StartNum" + std::to_string(n), (n - 1) % kPortsPerServer + 2);
    session.SetConfiguration("dAddress" + std::to_string(n),
                             remotes[(n - 1) / kPortsPerServer].server->Local().address);
  }
}

size_t Moved(const std::vector<std::unique_ptr<SoakPort>>& ports) {
  size_t total = 0;
  for (const auto& port : ports) total += port->Figures().written + port->Figures().read;
  return total;
}

size_t Errors(const std::vector<std::unique_ptr<SoakPort>>& ports) {
  size_t total = 0;
  for (const auto& port : ports) total += port->Figures().errors;
  return total;
}

// Feeds the lines and shows progress until every port has finished, a stall, or the limit.
void Drive(std::vector<std::unique_ptr<SoakPort>>& ports, uint64_t bytes, uint64_t seed,
           std::ostream& out) {
  const bool terminal = isatty(STDOUT_FILENO);
  std::mt19937_64 random(seed);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastMove = start, lastShown = start;
  size_t lastMoved = 0;
  for (;;) {
    bool finished = true;
    for (auto& port : ports) {
      port->Feed(random);
      finished = finished && port->Finished();
    }
    const Clock::time_point now = Clock::now();
    const size_t moved = Moved(ports);
    if (moved != lastMoved) lastMove = now, lastMoved = moved;
    if (finished || now - lastMove > kStallLimit || now - start > kOverallLimit) {
      if (!finished) out << "\nsoak: stopped: " << (now - lastMove > kStallLimit ? "no byte moved for two minutes" : "the overall limit passed") << "\n";
      break;
    }
    if (now - lastShown >= std::chrono::seconds(terminal ? 1 : 10)) {
      lastShown = now;
      out << (terminal ? "\r" : "") << "soak: " << std::fixed << std::setprecision(2)
          << moved / 1048576.0 << " of " << bytes / 1048576.0 << " MiB checked, " << Errors(ports)
          << " errors, " << std::chrono::duration_cast<std::chrono::seconds>(now - start).count()
          << " s" << (terminal ? "" : "\n") << std::flush;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  if (terminal) out << "\n";
}

}  // namespace

namespace {

void PrintPorts(const std::vector<std::unique_ptr<SoakPort>>& ports, std::ostream& out) {
  out << "\nport    to remote  from remote   writes ok/cancelled   reads ok/timed out/cancelled"
         "  purges  errors\n";
  size_t to = 0, from = 0;
  for (const auto& port : ports) {
    const SoakFigures& f = port->Figures();
    to += f.written;
    from += f.read;
    out << std::left << std::setw(6) << port->Name() << std::right << std::setw(11) << f.written
        << std::setw(13) << f.read << std::setw(12) << f.writesDone << "/" << std::left
        << std::setw(8) << f.writesCancelled << std::right << std::setw(12) << f.readsDone << "/"
        << f.readsTimedOut << "/" << std::left << std::setw(9) << f.readsCancelled << std::right
        << std::setw(6) << f.purges << std::setw(8) << f.errors << "\n";
  }
  out << std::left << std::setw(6) << "all" << std::right << std::setw(11) << to << std::setw(13)
      << from << "   (bytes: " << std::fixed << std::setprecision(2) << (to + from) / 1048576.0
      << " MiB in all)\n";
}

void PrintLink(const Remote (&remotes)[kServers], std::ostream& out) {
  devserver::FaultCounts in, out_;
  size_t datagramsIn = 0, datagramsOut = 0, retransmissions = 0, polls = 0;
  for (const Remote& remote : remotes) {
    const devserver::ServerStats s = remote.server->Stats();
    datagramsIn += s.datagramsIn;
    datagramsOut += s.datagramsOut;
    for (auto [sum, part] : {std::pair{&in, &s.faultsIn}, std::pair{&out_, &s.faultsOut}}) {
      sum->dropped += part->dropped;
      sum->duplicated += part->duplicated;
      sum->reordered += part->reordered;
      sum->delayed += part->delayed;
    }
    retransmissions += remote.counter.Retransmissions();
    polls += remote.counter.Polls();
  }
  auto faults = [](const devserver::FaultCounts& c) {
    return std::to_string(c.dropped) + " dropped, " + std::to_string(c.duplicated) +
           " duplicated, " + std::to_string(c.reordered) + " reordered, " +
           std::to_string(c.delayed) + " delayed";
  };
  out << "datagrams driver -> remotes: " << datagramsIn << " (" << faults(in) << ")\n"
      << "datagrams remotes -> driver: " << datagramsOut << " (" << faults(out_) << ")\n"
      << "driver data retransmissions: " << retransmissions << ", polls: " << polls << "\n";
}

}  // namespace

int RunSoak(const Options& options, std::ostream& out) {
  const uint64_t bytes = options.bytes.value_or(kDefaultBytes);
  const uint64_t seed = options.seed.value_or(1);
  const double speed = options.speed.value_or(kDefaultSpeed);
  const uint16_t wirePort = LinkWirePort(kUnprivilegedLinkPort);
  Remote remotes[kServers];
  for (int i = 0; i < kServers; i++) {
    if (!StartRemote(remotes[i], i, wirePort, seed, out)) return 1;
  }
  out << "soak: " << kPorts << " ports on " << kServers << " emulated remotes, "
      << bytes / 2 << " bytes each way, " << kFaultRate * 100
      << " % of datagrams dropped, duplicated, reordered and delayed both ways, clock x" << speed
      << ", seed " << seed << "\n";
  HostSession session(options.image, RunAddress(0), wirePort, speed);
  Configure(session, remotes);
  if (const NTSTATUS status = session.Load(); !NT_SUCCESS(status)) {
    out << "soak: the driver did not load (status 0x" << std::hex << status << std::dec << ")\n";
    return 1;
  }
  std::vector<std::unique_ptr<SoakPort>> ports;
  for (int i = 0; i < kPorts; i++) {
    ports.push_back(std::make_unique<SoakPort>(
        "COM" + std::to_string(3 + i), *remotes[i / kPortsPerServer].server,
        static_cast<uint8_t>(i % kPortsPerServer + 1), bytes / (2 * kPorts), seed * 100 + i));
  }
  for (auto& port : ports) port->Start();
  Drive(ports, bytes, seed, out);
  for (auto& port : ports) port->Stop();
  for (auto& port : ports) port->CheckWrites();
  PrintPorts(ports, out);
  PrintLink(remotes, out);
  const size_t errors = Errors(ports);
  for (const auto& port : ports) {
    for (const std::string& error : port->Errors()) out << "error: " << error << "\n";
  }
  out << "errors found: " << errors << "\n\n";
  ports.clear();
  session.Unload(out);
  for (Remote& remote : remotes) remote.server->Stop();
  return errors == 0 ? 0 : 1;
}

}  // namespace tessacom
