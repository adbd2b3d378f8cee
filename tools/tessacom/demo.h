// The program's commands.
#pragma once

#include <iosfwd>

#include "command_line.h"

namespace tessacom {

int RunLoad(const Options& options, std::ostream& out);
int RunServe(const Options& options, std::ostream& out);
int RunDemo(const Options& options, std::ostream& out);

}  // namespace tessacom
