// `tessacom shell`: the driver loaded in the live host, driven line by line through the
// client API. Standard output carries only the answers and `done` lines; the load report,
// the end-of-session summary and what the unload left go to the error stream.
#pragma once

#include <iosfwd>
#include <string>

#include "tools/tessacom/command_line.h"  // by its path: the device server has one too

namespace tessacom {

int RunShell(const Options& options, std::istream& in, std::ostream& out, std::ostream& err);
std::string ShellHelpText();

}  // namespace tessacom
