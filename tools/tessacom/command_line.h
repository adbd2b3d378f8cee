// Parsing of the tessacom program's command line: one command and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessacom {

struct Options {
  std::string command;             // "load", "serve", "demo", or "" for none
  std::optional<std::string> reg;  // --reg FILE
  std::optional<uint32_t> bind;    // --bind ADDR (host order)
  std::optional<std::string> image;  // --image FILE: a kernel image to run instead
  bool help = false;
  std::string error;               // set when the line cannot be understood
};

Options ParseCommandLine(const std::vector<std::string>& arguments);
std::string HelpText(const std::string& command);

}  // namespace tessacom
