// What a measured stretch costs in CPU. The process's user + system time is sampled at both
// ends (getrusage); so are the emulators' threads (their thread CPU clocks) and the CPU the
// driver's busy-waits burnt (the host adds up each busy-wait's thread CPU time). The host's
// own share is the process's time less those two: the executive, the driver's routines and
// threads outside their pauses, and the applications' calls into the I/O manager.
#pragma once

#include "bench/bench_figures.h"
#include "bench/bench_rig.h"

namespace tessacom::bench {

struct CpuSample {
  double process = 0;    // seconds
  double emulators = 0;  // seconds
  double busyWaits = 0;  // seconds
};

CpuSample SampleCpu(const Rig& rig);
Cost CostOf(const CpuSample& before, const CpuSample& after, double bytes);

}  // namespace tessacom::bench
