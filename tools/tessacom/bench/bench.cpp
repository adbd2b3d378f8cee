#include "bench/bench.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <tuple>
#include <utility>

#include "bench/bench_phases.h"
#include "bench/bench_probes.h"
#include "bench/bench_report.h"
#include "stop_signals.h"

namespace tessacom {

namespace {

using namespace bench;

// Ports and servers of the write measurements.
constexpr struct {
  int ports;
  int servers;
} kWriteLayouts[] = {{1, 1}, {4, 1}, {4, 4}, {16, 1}, {16, 4}};
constexpr int kPhases = 7 + static_cast<int>(std::size(kWriteLayouts));

// Stack reserved for each thread started from here on (emulators, the driver's threads, the
// applications'): the scale phase runs over 500 threads, which at the default 8 MiB apiece
// would not fit a 32-bit host's address space. The driver's routines are written for kernel
// stacks of a few KiB; 1 MiB leaves the sanitizers room.
constexpr size_t kThreadStackBytes = 1 << 20;

void ReserveSmallerThreadStacks() {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return;
  if (pthread_attr_setstacksize(&attributes, kThreadStackBytes) == 0) {
    pthread_setattr_default_np(&attributes);
  }
  pthread_attr_destroy(&attributes);
}

Plan MakePlan(const Options& options) {
  Plan plan;
  plan.image = options.image;
  if (options.quick) {
    plan.warmUpSeconds = 0.1;
    plan.stretchSeconds = 0.6;
    plan.probeRoundTrips = 200;
    plan.echoRoundTrips = 200;
    plan.openCloses = 20;
    plan.scaleBytesPerPort = 512;
  }
  return plan;
}

// Runs the phases in order until a stop (Ctrl-C, SIGTERM). A phase the stop cut short keeps
// no figure and no problem: a stretch cut short is not the measurement asked for.
void Measure(const Plan& plan, Figures& f, Progress& progress) {
  Reference reference;
  auto run = [&](const std::string& name, auto measure, auto& into) {
    if (StopRequested()) return false;
    progress.Phase(name);
    const size_t problems = f.problems.size();
    auto figures = measure();
    if (StopRequested()) {
      f.problems.resize(problems);
      f.cutShort = name;
      return false;
    }
    into = std::move(figures);
    f.lastPhase = name;
    return true;
  };
  std::string problem;
  std::pair<Percentiles, Percentiles> trips;
  if (!run("round trips without the driver", [&] {
        std::pair<Percentiles, Percentiles> measured{RawUdpRoundTrips(reference.addresses, plan.probeRoundTrips, &problem), {}};
        if (problem.empty()) measured.second = AckRoundTrips(reference.addresses, plan.probeRoundTrips, &problem);
        return measured;
      }, trips)) {
    return;
  }
  std::tie(f.rawUdpMicros, f.ackMicros) = trips;
  if (!problem.empty()) {
    f.problems.push_back(problem);
    return;  // no bound can be computed without the acknowledgement round trip
  }
  reference.ackSeconds = f.ackMicros.p50 / 1e6;
  for (const auto& layout : kWriteLayouts) {
    Throughput row;
    if (!run("write, " + std::to_string(layout.ports) + " port(s) on " + std::to_string(layout.servers) + " server(s)",
             [&] { return MeasureWrites(plan, reference, layout.ports, layout.servers, progress, f.problems); }, row)) {
      return;
    }
    f.writes.push_back(row);
  }
  auto reads = [&](ReadStyle style) { return [&, style] { return MeasureReads(plan, reference, style, progress, f.problems); }; };
  if (!run("read as programs read, the remote offering without end", reads(ReadStyle::AsProgramsRead), f.readAsPrograms) ||
      !run("read whole windows, the remote offering without end", reads(ReadStyle::WholeWindow), f.read) ||
      !run("echo latency", [&] { return MeasureEcho(plan, reference, progress, f.problems); }, f.echoMicros)) {
    return;
  }
  std::pair<Percentiles, Percentiles> opens;
  if (!run("open and close", [&] {
        std::pair<Percentiles, Percentiles> measured;
        measured.first = MeasureOpens(plan, reference, &measured.second, progress, f.problems);
        return measured;
      }, opens)) {
    return;
  }
  std::tie(f.openMillis, f.closeMillis) = opens;
  if (!run("echo while another remote floods the driver", [&] { return MeasureFlood(plan, reference, progress, f.problems); },
           f.flood)) {
    return;
  }
  run("256 ports on 256 servers", [&] { return MeasureScale(plan, reference, progress, f.problems); }, f.scale);
}

}  // namespace

int RunBench(const Options& options, std::ostream& out, std::ostream& progressOut) {
  ReserveSmallerThreadStacks();
  Figures figures;
  figures.quick = options.quick;
  double loads[1] = {0};
  if (getloadavg(loads, 1) == 1) figures.loadAverage = loads[0];
  {
    Progress progress(progressOut, isatty(STDERR_FILENO) != 0, kPhases);
    Measure(MakePlan(options), figures, progress);
  }
  if (StopRequested()) {
    figures.interrupted = StopWord();  // the figures are those measured until the stop
  } else {
    for (const std::string& name : MissingFigures(figures)) figures.problems.push_back("no figure for " + name);
  }
  PrintTable(out, figures);
  if (options.json) {
    std::ofstream file(*options.json);
    WriteJson(file, figures);
    file.close();
    if (!file) {
      out << "bench: cannot write " << *options.json << "\n";
      return 1;
    }
  }
  if (!figures.problems.empty()) return 1;
  return figures.interrupted.empty() ? 0 : StoppedExitStatus();
}

}  // namespace tessacom
