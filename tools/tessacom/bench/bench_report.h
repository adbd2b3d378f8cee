// The bench's results for people (a table, then the targets met or missed) and for programs
// (JSON).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "bench/bench_figures.h"

namespace tessacom::bench {

struct Target {
  std::string what;      // "write, 16 ports: >= 0.90 x bound"
  std::string measured;  // "0.93"
  bool met = false;
  bool judged = true;    // false: a partial run never measured its figure
};

// The targets of this machine's build, judged on the figures.
std::vector<Target> JudgeTargets(const Figures& figures);

void PrintTable(std::ostream& out, const Figures& figures);
void WriteJson(std::ostream& out, const Figures& figures);

}  // namespace tessacom::bench
