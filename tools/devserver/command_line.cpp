// Parsing of the device server program's options.
#include "command_line.h"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>

namespace devserver {

namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  uint64_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseProbability(const std::string& text, double* value) {
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(parsed >= 0.0 && parsed <= 1.0)) {
    return false;
  }
  *value = parsed;
  return true;
}

}  // namespace

std::string Usage(const std::string& program) {
  return "usage: " + program + R"( [options]
The remote serial device server emulator: the far end of the tessacom UDP link.

  --bind ADDR[:PORT]      local address to serve (default 127.0.0.1:519)
  --port N                local port, over the one of --bind (another port than 519 for
                          unprivileged use)
  --driver ADDR[:PORT]    where to send before the driver is heard from (port default 519)
  --backend KIND          line of every channel: echo (default), pty, none
  --channel CH=KIND       make channel CH at start with its own line: echo, pty (its path
                          is shown), none, or tty:PATH, a serial device (or any terminal)
                          whose settings and breaks follow the driver's. CH is the
                          registry's number, 1..256: a port with "StartNum<n>"=CH uses it
                          (the wire carries CH - 1, shown in the trace as [wire CH-1])
  --unsequenced           send line bytes as DATA instead of SEQDATA
  --open-seq N            sequence of the open reply, 0..15 (default 9)
  --no-open-reply         leave opens unanswered
  --open-reply-length N   length field of the open reply (default 3, what the driver takes)
  --no-close-reply        leave closes unanswered
  --window N              SEQDATA packets in flight, 1..7 (default 4)
  --resend-ms N           resend interval of unacknowledged SEQDATA (default 250)
  --max-payload N         payload bytes per line-data packet, 1..508 (default 508)
  --seed N                seed of the fault injection (default 1)
  --drop-in P, --drop-out P, --dup-in P, --dup-out P, --reorder-in P, --reorder-out P,
  --delay-in P, --delay-out P
                          probability 0..1 of a fault on datagrams received (in) or sent (out)
  --delay-ms N            delay of a delayed datagram, longest hold of a reordered one (20)
  --overtake-limit N      a held datagram passes once N later ones have (default 0: by time)
  --handshake-in-order    OPEN, CLOSE and DOWN are never held nor overtaken (may be dropped)
  --pcap FILE             write every datagram the server's socket sends or takes to FILE as
                          a pcap capture (raw IPv4; at most 64 MiB, a note when reached)
  --trace-bytes           under each trace line, the packet's payload: 16 bytes a line, in
                          hex and as text
  --quiet                 no protocol trace
  --no-commands           do not read commands from standard input
  --help                  this text

Channels are numbered 1..256 everywhere here, as in the registry ("StartNum<n>").
Commands on standard input: status [CH] (every open channel, or CH, and each driver heard
from, in the words of tessacom's own status), send CH TEXT, data CH TEXT, down CH,
poll CH [N] (a burst of N), openreply CH (an open reply no OPEN asked for), vanish MS (take
and send nothing for MS milliseconds), raw HEX..., help, quit. At the end of input it serves
on until Ctrl-C or SIGTERM. At quit, Ctrl-C or SIGTERM it closes every open channel with a
DOWN to its driver and prints the counters of those channels, of each driver and of the socket.
)";
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  ServerOptions& s = line.server;
  s.backend = BackendKind::Echo;
  bool portGiven = false;
  uint16_t port = kLinkPort;
  std::chrono::milliseconds delay{20};
  size_t overtakeLimit = 0;
  bool handshakeInOrder = false;

  std::map<std::string, double*> probabilities = {
      {"--drop-in", &s.faults.fromDriver.drop},        {"--drop-out", &s.faults.toDriver.drop},
      {"--dup-in", &s.faults.fromDriver.duplicate},    {"--dup-out", &s.faults.toDriver.duplicate},
      {"--reorder-in", &s.faults.fromDriver.reorder},  {"--reorder-out", &s.faults.toDriver.reorder},
      {"--delay-in", &s.faults.fromDriver.delay},      {"--delay-out", &s.faults.toDriver.delay},
  };
  auto fail = [&line](const std::string& message) {
    if (line.error.empty()) line.error = message;
  };

  for (size_t i = 0; i < arguments.size() && line.error.empty(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= arguments.size()) {
        fail(option + ": a value is needed");
        return {};
      }
      return arguments[++i];
    };
    auto number = [&](uint64_t min, uint64_t max) -> uint64_t {
      const std::string text = value();
      uint64_t n = 0;
      if (line.error.empty() && (!ParseUnsigned(text, max, &n) || n < min)) {
        fail(option + ": expected a number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", got '" + text + "'");
      }
      return n;
    };

    if (option == "--help" || option == "-h") {
      line.help = true;
    } else if (option == "--bind") {
      const std::string text = value();
      const std::optional<Endpoint> e = ParseEndpoint(text, kLinkPort);
      if (!e) fail("--bind: expected ADDR or ADDR:PORT, got '" + text + "'");
      else s.bind = *e;
    } else if (option == "--port") {
      port = static_cast<uint16_t>(number(0, 65535));
      portGiven = true;
    } else if (option == "--driver") {
      const std::string text = value();
      const std::optional<Endpoint> e = ParseEndpoint(text, kLinkPort);
      if (!e) fail("--driver: expected ADDR or ADDR:PORT, got '" + text + "'");
      else s.driver = *e;
    } else if (option == "--backend") {
      const std::string text = value();
      const std::optional<BackendKind> kind = ParseBackendKind(text);
      if (!kind || *kind == BackendKind::Tty) fail("--backend: expected echo, pty or none, got '" + text + "'");
      else s.backend = *kind;
    } else if (option == "--channel") {
      const std::string text = value();
      const size_t equals = text.find('=');
      const std::string line = equals == std::string::npos ? "" : text.substr(equals + 1);
      const bool tty = line.starts_with("tty:") && line.size() > 4;
      uint64_t number = 0;
      const std::optional<BackendKind> kind = tty ? BackendKind::Tty : ParseBackendKind(line);
      const std::optional<uint8_t> wire =
          ParseUnsigned(text.substr(0, equals), kLastChannel, &number) ? WireChannel(number) : std::nullopt;
      if (!kind || (!tty && *kind == BackendKind::Tty) || !wire) {
        fail("--channel: expected CH=KIND with CH 1..256 and KIND echo, pty, none or tty:PATH, got '" +
             text + "'");
      } else {
        s.channelBackends[*wire] = *kind;
        if (tty) s.channelDevices[*wire] = line.substr(4);
      }
    } else if (option == "--unsequenced") {
      s.backendSequenced = false;
    } else if (option == "--open-seq") {
      s.protocol.openSequence = static_cast<uint8_t>(number(0, 15));
    } else if (option == "--no-open-reply") {
      s.protocol.answerOpen = false;
    } else if (option == "--open-reply-length") {
      s.protocol.openReplyLength = static_cast<uint16_t>(number(0, 4095));
    } else if (option == "--no-close-reply") {
      s.protocol.answerClose = false;
    } else if (option == "--window") {
      s.protocol.window = static_cast<unsigned>(number(1, 7));
    } else if (option == "--resend-ms") {
      s.protocol.resendInterval = std::chrono::milliseconds(number(1, 600000));
    } else if (option == "--max-payload") {
      s.protocol.maxPayload = number(1, kMaxPayload);
    } else if (option == "--seed") {
      s.faults.seed = number(0, UINT64_MAX);
    } else if (option == "--delay-ms") {
      delay = std::chrono::milliseconds(number(0, 600000));
    } else if (option == "--overtake-limit") {
      overtakeLimit = number(0, 1000000);
    } else if (option == "--handshake-in-order") {
      handshakeInOrder = true;
    } else if (const auto found = probabilities.find(option); found != probabilities.end()) {
      const std::string text = value();
      if (line.error.empty() && !ParseProbability(text, found->second)) {
        fail(option + ": expected a probability from 0 to 1, got '" + text + "'");
      }
    } else if (option == "--pcap") {
      s.capture = value();
    } else if (option == "--trace-bytes") {
      s.traceBytes = true;
    } else if (option == "--quiet") {
      line.quiet = true;
    } else if (option == "--no-commands") {
      line.commands = false;
    } else {
      fail("unknown option '" + option + "' (see --help)");
    }
  }
  if (portGiven) s.bind.port = port;
  for (FaultProfile* profile : {&s.faults.fromDriver, &s.faults.toDriver}) {
    profile->delayBy = delay;
    profile->overtakeLimit = overtakeLimit;
    profile->handshakeInOrder = handshakeInOrder;
  }
  return line;
}

}  // namespace devserver
