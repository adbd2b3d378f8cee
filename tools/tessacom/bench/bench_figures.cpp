#include "bench/bench_figures.h"

#include <algorithm>
#include <cmath>

namespace tessacom::bench {

Percentiles Summarise(std::vector<double> samples) {
  Percentiles result;
  if (samples.empty()) return result;
  std::sort(samples.begin(), samples.end());
  auto rank = [&](double fraction) {
    const size_t index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[std::clamp<size_t>(index, 1, samples.size()) - 1];
  };
  result.samples = static_cast<int>(samples.size());
  result.p50 = rank(0.50);
  result.p99 = rank(0.99);
  result.max = samples.back();
  return result;
}

namespace {

void Require(std::vector<std::string>& missing, const std::string& name, double value) {
  if (!(value > 0)) missing.push_back(name);
}

void RequireThroughput(std::vector<std::string>& missing, const Throughput& t) {
  Require(missing, t.label + " bytes/s", t.bytesPerSecond);
  Require(missing, t.label + " packets/s", t.packetsPerSecond);
  Require(missing, t.label + " bound", t.bound);
  Require(missing, t.label + " CPU", t.cost.cpuPerMiB);
}

}  // namespace

std::vector<std::string> MissingFigures(const Figures& f) {
  std::vector<std::string> missing;
  Require(missing, "raw UDP round trips", f.rawUdpMicros.samples);
  Require(missing, "acknowledgement round trips", f.ackMicros.samples);
  Require(missing, "write measurements", static_cast<double>(f.writes.size()));
  for (const Throughput& row : f.writes) RequireThroughput(missing, row);
  RequireThroughput(missing, f.readAsPrograms);
  RequireThroughput(missing, f.read);
  Require(missing, "echo round trips", f.echoMicros.samples);
  Require(missing, "opens", f.openMillis.samples);
  Require(missing, "closes", f.closeMillis.samples);
  Require(missing, "echo round trips without the flood", f.flood.quiet.micros.samples);
  Require(missing, "echo round trips under the flood", f.flood.flooded.micros.samples);
  Require(missing, "flood rate", f.flood.floodPerSecond);
  const Scale& s = f.scale;
  for (const auto& [name, value] : {std::pair{"load", s.loadSeconds}, {"open", s.openSeconds},
                                    {"move", s.moveSeconds}, {"close", s.closeSeconds},
                                    {"unload", s.unloadSeconds}, {"peak RSS", s.peakRssMiB},
                                    {"threads", static_cast<double>(s.peakThreads)}}) {
    Require(missing, std::string("scale ") + name, value);
  }
  return missing;
}

}  // namespace tessacom::bench
