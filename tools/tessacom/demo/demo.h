// The program's commands.
#pragma once

#include <iosfwd>

#include "tools/tessacom/command_line.h"  // by its path: the device server has one too

namespace tessacom {

int RunLoad(const Options& options, std::ostream& out);
int RunServe(const Options& options, std::ostream& out);
int RunDemo(const Options& options, std::ostream& out);

}  // namespace tessacom
