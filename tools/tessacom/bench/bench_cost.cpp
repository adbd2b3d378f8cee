#include "bench/bench_cost.h"

#include <sys/resource.h>

#include "host/session/executive.h"

namespace tessacom::bench {

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

CpuSample SampleCpu(const Rig& rig) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  CpuSample sample;
  sample.process = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  sample.emulators = std::chrono::duration<double>(rig.EmulatorCpu()).count();
  sample.busyWaits = static_cast<double>(host::session::BusyWaitCpuTime()) / 1e9;
  return sample;
}

Cost CostOf(const CpuSample& before, const CpuSample& after, double bytes) {
  Cost cost;
  if (bytes <= 0) return cost;
  const double mib = bytes / (1024.0 * 1024.0);
  const double process = after.process - before.process;
  const double host = process - (after.emulators - before.emulators) -
                      (after.busyWaits - before.busyWaits);
  cost.cpuPerMiB = process / mib;
  cost.hostPerMiB = host / mib;
  return cost;
}

}  // namespace tessacom::bench
