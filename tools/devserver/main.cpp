// tessacom-devserver: the remote serial device server emulator as a program. It serves the
// link on one local address, prints the protocol trace and channel notes on standard output
// and takes commands on standard input.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "devserver.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;  // 1 at quit, the signal's number at a signal
constexpr unsigned kMaxPollBurst = 10000;
constexpr unsigned kMaxVanishMs = 600000;

void OnSignal(int signal) { stopRequested = signal; }

// A channel number 1..256 (the registry's), as its wire byte.
bool ParseChannel(std::istringstream& words, uint8_t* channel) {
  unsigned value = 0;
  const std::optional<uint8_t> wire = words >> value ? devserver::WireChannel(value) : std::nullopt;
  if (!wire) {
    std::printf("# a channel number 1..256 is needed\n");
    return false;
  }
  *channel = *wire;
  return true;
}

std::string RestOfLine(std::istringstream& words) {
  std::string rest;
  std::getline(words, rest);
  if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
  return rest;
}

// The remote's own events: down, poll, openreply, vanish. False when `verb` is none of them.
bool RemoteEvent(devserver::DeviceServer& server, const std::string& verb,
                 std::istringstream& words) {
  uint8_t channel = 0;
  if (verb == "down") {
    if (ParseChannel(words, &channel)) server.SendDown(channel);
  } else if (verb == "poll") {
    if (!ParseChannel(words, &channel)) return true;
    unsigned count = 1;
    if (!(words >> count)) count = 1;
    if (count < 1 || count > kMaxPollBurst) {
      std::printf("# a burst is 1 to %u polls\n", kMaxPollBurst);
    } else {
      server.SendPolls(channel, count);
    }
  } else if (verb == "openreply") {
    if (ParseChannel(words, &channel)) server.SendOpenReply(channel);
  } else if (verb == "vanish") {
    unsigned milliseconds = 0;
    if (!(words >> milliseconds) || milliseconds > kMaxVanishMs) {
      std::printf("# vanish takes 0 to %u milliseconds\n", kMaxVanishMs);
    } else {
      server.Vanish(std::chrono::milliseconds(milliseconds));
    }
  } else {
    return false;
  }
  return true;
}

void SendRawCommand(devserver::DeviceServer& server, std::istringstream& words) {
  std::vector<uint8_t> bytes;
  std::string hex;
  while (words >> hex) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(hex.c_str(), &end, 16);
    if (*end != '\0' || value > 0xFF) {
      std::printf("# '%s' is not a hexadecimal byte\n", hex.c_str());
      return;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  server.SendRaw(bytes);
}

// The status in the words of the driver host's own, each line marked as a note.
void PrintStatus(const devserver::DeviceServer& server, std::istringstream& words) {
  std::optional<uint8_t> channel;
  if (!(words >> std::ws).eof()) {
    uint8_t wire = 0;
    if (!ParseChannel(words, &wire)) return;
    channel = wire;
  }
  std::istringstream lines(server.StatusText(channel));
  for (std::string line; std::getline(lines, line);) std::printf("# %s\n", line.c_str());
}

// The end, at quit, Ctrl-C or SIGTERM: every open
// channel closed with a DOWN to its driver, then the counters of those channels, of each
// driver heard from and of the socket.
void End(devserver::DeviceServer& server) {
  if (stopRequested == SIGINT || stopRequested == SIGTERM) {
    std::printf("# %s\n", stopRequested == SIGINT ? "interrupted" : "terminated");
  }
  const std::vector<uint8_t> closed = server.CloseChannels();  // each noted as it goes down
  std::istringstream lines(server.StatusText(closed));
  for (std::string line; std::getline(lines, line);) std::printf("# %s\n", line.c_str());
  std::fflush(stdout);
}

// Runs one command line; false on quit.
bool Command(devserver::DeviceServer& server, const std::string& text) {
  std::istringstream words(text);
  std::string verb;
  if (!(words >> verb)) return true;
  uint8_t channel = 0;
  if (verb == "quit" || verb == "exit") return false;
  if (verb == "help") {
    std::printf("# status [CH] | send CH TEXT | data CH TEXT | down CH | poll CH [N] | "
                "openreply CH | vanish MS | raw HEX... | quit\n");
  } else if (verb == "status") {
    PrintStatus(server, words);
  } else if (verb == "send" || verb == "data") {
    if (!ParseChannel(words, &channel)) return true;
    server.InjectLineText(channel, RestOfLine(words) + "\r\n",
                          verb == "send" ? devserver::Sequencing::Sequenced
                                         : devserver::Sequencing::Unsequenced);
  } else if (verb == "raw") {
    SendRawCommand(server, words);
  } else if (!RemoteEvent(server, verb, words)) {
    std::printf("# unknown command '%s' (help lists them)\n", verb.c_str());
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? argv[0] : "tessacom-devserver";
  devserver::CommandLine line =
      devserver::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (line.help) {
    std::fputs(devserver::Usage(program).c_str(), stdout);
    return 0;
  }
  if (!line.error.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), line.error.c_str());
    return 2;
  }
  if (!line.quiet) {
    line.server.onTrace = [](const devserver::TraceRecord& r) {
      std::printf("%s\n", r.text.c_str());
      for (const std::string& bytes : r.bytes) std::printf("%s\n", bytes.c_str());
      std::fflush(stdout);
    };
  }
  line.server.onNote = [](const std::string& note) {
    std::printf("# %s\n", note.c_str());
    std::fflush(stdout);
  };
  line.server.traceLimit = 0;  // printed, not kept

  // Taken from before the server starts: a signal as soon as it serves ends it in order too.
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  devserver::DeviceServer server(line.server);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return 1;
  }

  bool reading = line.commands;
  std::string pending;
  while (!stopRequested) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = reading ? poll(&in, 1, 200) : (usleep(200000), 0);
    if (ready <= 0) continue;
    char chunk[512];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) {
      reading = false;  // end of input: serve until a signal
      continue;
    }
    pending.append(chunk, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!Command(server, command)) stopRequested = 1;
    }
  }
  End(server);
  server.Stop();
  if (!line.server.capture.empty()) {
    const devserver::ServerStats stats = server.Stats();
    std::printf("# capture %s: %zu datagrams", line.server.capture.c_str(), stats.captured);
    if (stats.captureRefused != 0) std::printf(", %zu more past its limit, not in it", stats.captureRefused);
    std::printf("\n");
  }
  return 0;
}
