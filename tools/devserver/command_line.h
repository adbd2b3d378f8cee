// The device server program's command line, parsed into server options.
#pragma once

#include <string>
#include <vector>

#include "devserver.h"

namespace devserver {

struct CommandLine {
  ServerOptions server;
  bool help = false;
  bool quiet = false;     // no protocol trace on standard output
  bool commands = true;   // read commands from standard input
  std::string error;      // non-empty when the command line is wrong
};

// Parses the arguments after the program name. The program's line backend defaults to echo.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
std::string Usage(const std::string& program);

}  // namespace devserver
