// `tessacom bench`: what the link delivers and what it costs, measured in one run against the
// limits of the link's own pace measured in the same run.
#pragma once

#include <iosfwd>

#include "tools/tessacom/command_line.h"  // by its path: the device server has one too

namespace tessacom {

// Runs every measurement, shows progress on `progress`, prints the table on `out` and, with
// --json, writes the figures to the file. 0 when every figure was measured, 1 otherwise.
int RunBench(const Options& options, std::ostream& out, std::ostream& progress);

}  // namespace tessacom
