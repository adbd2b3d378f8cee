#include "bench.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <ostream>

#include "bench_phases.h"
#include "bench_probes.h"
#include "bench_report.h"

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

void Measure(const Plan& plan, Figures& f, Progress& progress) {
  Reference reference;
  std::string problem;
  progress.Phase("round trips without the driver");
  f.rawUdpMicros = RawUdpRoundTrips(reference.addresses, plan.probeRoundTrips, &problem);
  if (problem.empty()) f.ackMicros = AckRoundTrips(reference.addresses, plan.probeRoundTrips, &problem);
  if (!problem.empty()) {
    f.problems.push_back(problem);
    return;  // no bound can be computed without the acknowledgement round trip
  }
  reference.ackSeconds = f.ackMicros.p50 / 1e6;
  for (const auto& layout : kWriteLayouts) {
    progress.Phase("write, " + std::to_string(layout.ports) + " port(s) on " +
                   std::to_string(layout.servers) + " server(s)");
    f.writes.push_back(MeasureWrites(plan, reference, layout.ports, layout.servers, progress, f.problems));
  }
  progress.Phase("read as programs read, the remote offering without end");
  f.readAsPrograms = MeasureReads(plan, reference, ReadStyle::AsProgramsRead, progress, f.problems);
  progress.Phase("read whole windows, the remote offering without end");
  f.read = MeasureReads(plan, reference, ReadStyle::WholeWindow, progress, f.problems);
  progress.Phase("echo latency");
  f.echoMicros = MeasureEcho(plan, reference, progress, f.problems);
  progress.Phase("open and close");
  f.openMillis = MeasureOpens(plan, reference, &f.closeMillis, progress, f.problems);
  progress.Phase("echo while another remote floods the driver");
  f.flood = MeasureFlood(plan, reference, progress, f.problems);
  progress.Phase("256 ports on 256 servers");
  f.scale = MeasureScale(plan, reference, progress, f.problems);
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
  for (const std::string& name : MissingFigures(figures)) {
    figures.problems.push_back("no figure for " + name);
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
  return figures.problems.empty() ? 0 : 1;
}

}  // namespace tessacom
