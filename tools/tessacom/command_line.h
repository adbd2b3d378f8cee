// Parsing of the tessacom program's command line: one command and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessacom {

struct Options {
  std::string command;                 // "load", "serve", "shell", "demo", "bench", "soak", or ""
  std::optional<std::string> reg;      // --reg FILE
  std::optional<uint32_t> bind;        // --bind ADDR (host order)
  std::optional<uint32_t> devserver;   // shell --devserver ADDR (host order, loopback)
  std::optional<double> speed;         // shell, soak --speed F: the live clock's speed factor
  std::optional<uint64_t> bytes;       // soak --bytes N: bytes in all, both ways together
  std::optional<uint64_t> seed;        // soak --seed S: the soak's random choices
  std::optional<std::string> pty;      // serve --pty DIR: the pseudo-terminal bridge's links
  std::optional<std::string> user;     // serve --user USER: who serve runs as once its socket is open
  std::optional<std::string> ptyOwner; // serve --pty-owner USER[:GROUP]: the terminals' owner
  std::optional<uint32_t> ptyMode;     // serve --pty-mode MODE (octal): the terminals' mode
  std::optional<std::string> image;    // --image FILE: a kernel image to run instead
  std::optional<std::string> json;     // bench --json FILE: the figures as JSON
  std::optional<std::string> pcap;     // serve, shell, demo, soak --pcap FILE: a capture
  bool exclusive = false;              // serve --exclusive: a port held by a program refuses others
  bool loopbackOnly = false;           // load, serve, shell --loopback-only: the host's guard on
  bool quick = false;                  // bench --quick: a short run
  bool traceBytes = false;             // demo --trace-bytes: the payloads in the emulator's trace
  bool beyondLimit = false;            // soak --beyond-limit: faults past the protocol's limit
  bool help = false;
  std::string error;               // set when the line cannot be understood
};

Options ParseCommandLine(const std::vector<std::string>& arguments);
std::string HelpText(const std::string& command);

}  // namespace tessacom
