#include "bench_figures.h"

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

}  // namespace tessacom::bench
