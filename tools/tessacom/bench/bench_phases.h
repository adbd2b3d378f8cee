// The bench's measurements, one routine per kind; each builds its own rig, measures, and
// tears the rig down. What goes wrong is added to `problems`, and a figure that could not be
// measured stays at 0.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/bench_figures.h"
#include "bench/bench_progress.h"
#include "bench/bench_rig.h"

namespace tessacom::bench {

struct Plan {
  std::optional<std::string> image;  // a kernel image to run instead of the compiled-in driver
  double warmUpSeconds = 0.3;        // before a throughput stretch is measured
  double stretchSeconds = 3;         // a measured throughput stretch
  int probeRoundTrips = 1000;
  int echoRoundTrips = 1000;
  int openCloses = 100;
  int scaleBytesPerPort = 4096;
};

struct Reference {
  AddressBlock addresses;
  double ackSeconds = 0;  // the acknowledgement round trip the bounds are computed with
};

// Every application thread writes without pause to its own port.
Throughput MeasureWrites(const Plan& plan, const Reference& reference, int ports, int servers,
                         Progress& progress, std::vector<std::string>& problems);
// One application reads a port whose remote offers line data as fast as the protocol lets it.
enum class ReadStyle { AsProgramsRead, WholeWindow };
Throughput MeasureReads(const Plan& plan, const Reference& reference, ReadStyle style,
                        Progress& progress, std::vector<std::string>& problems);
// One byte out and back through the remote's echo, one round trip at a time.
Percentiles MeasureEcho(const Plan& plan, const Reference& reference, Progress& progress,
                        std::vector<std::string>& problems);
// Opens and closes of one port, one after the other; the close times go to `closes`.
Percentiles MeasureOpens(const Plan& plan, const Reference& reference, Percentiles* closes,
                         Progress& progress, std::vector<std::string>& problems);
// Echo round trips on one remote's port, without and with another remote flooding the driver.
Flood MeasureFlood(const Plan& plan, const Reference& reference, Progress& progress,
                   std::vector<std::string>& problems);
// 256 ports on 256 servers through their whole life.
Scale MeasureScale(const Plan& plan, const Reference& reference, Progress& progress,
                   std::vector<std::string>& problems);

}  // namespace tessacom::bench
