// Parsing of the device server program's options: one table of every option (its name, the
// placeholder of its value when it takes one, what it sets, its help) that both the parsing
// loop and the help text walk.
#include "command_line.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

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

// The command line as it is read, with what the options set in more than one place (both
// fault profiles; --bind's port) held until every option has been read.
struct Parsing {
  CommandLine line;
  std::string option;  // the option being read, which its errors name
  bool portGiven = false;
  uint16_t port = kLinkPort;
  std::chrono::milliseconds delay{20};
  size_t overtakeLimit = 0;
  bool handshakeInOrder = false;

  ServerOptions& Server() { return line.server; }
  // The first error is the one reported: reading stops at it.
  void Fail(const std::string& message) {
    if (line.error.empty()) line.error = message;
  }
  // `text` as a number from `min` to `max`; otherwise an error (and whatever it read).
  uint64_t Number(const std::string& text, uint64_t min, uint64_t max) {
    uint64_t n = 0;
    if (!ParseUnsigned(text, max, &n) || n < min) {
      Fail(option + ": expected a number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", got '" + text + "'");
    }
    return n;
  }
  void Probability(const std::string& text, double* field) {
    if (!ParseProbability(text, field)) {
      Fail(option + ": expected a probability from 0 to 1, got '" + text + "'");
    }
  }
  std::optional<Endpoint> Address(const std::string& text) {
    const std::optional<Endpoint> e = ParseEndpoint(text, kLinkPort);
    if (!e) Fail(option + ": expected ADDR or ADDR:PORT, got '" + text + "'");
    return e;
  }
  CommandLine Finish() {
    if (portGiven) line.server.bind.port = port;
    for (FaultProfile* profile : {&line.server.faults.fromDriver, &line.server.faults.toDriver}) {
      profile->delayBy = delay;
      profile->overtakeLimit = overtakeLimit;
      profile->handshakeInOrder = handshakeInOrder;
    }
    return line;
  }
};

using Value = const std::string&;  // an option's value; empty for one that takes none

void SetBackend(Parsing& p, Value text) {
  const std::optional<BackendKind> kind = ParseBackendKind(text);
  if (!kind || *kind == BackendKind::Tty) {
    p.Fail(p.option + ": expected echo, pty or none, got '" + text + "'");
  } else {
    p.Server().backend = *kind;
  }
}

// CH=KIND: a channel by the registry's number, with its own line.
void SetChannel(Parsing& p, Value text) {
  const size_t equals = text.find('=');
  const std::string line = equals == std::string::npos ? "" : text.substr(equals + 1);
  const bool tty = line.starts_with("tty:") && line.size() > 4;
  uint64_t number = 0;
  const std::optional<BackendKind> kind = tty ? BackendKind::Tty : ParseBackendKind(line);
  const std::optional<uint8_t> wire =
      ParseUnsigned(text.substr(0, equals), kLastChannel, &number) ? WireChannel(number) : std::nullopt;
  if (!kind || (!tty && *kind == BackendKind::Tty) || !wire) {
    p.Fail(p.option + ": expected CH=KIND with CH 1..256 and KIND echo, pty, none or tty:PATH, got '" +
           text + "'");
  } else {
    p.Server().channelBackends[*wire] = *kind;
    if (tty) p.Server().channelDevices[*wire] = line.substr(4);
  }
}

// One fault's probability in one direction (`direction`: FaultOptions::fromDriver, "in", or
// toDriver, "out").
template <FaultProfile FaultOptions::*direction, double FaultProfile::*fault>
void SetProbability(Parsing& p, Value text) {
  p.Probability(text, &(p.Server().faults.*direction.*fault));
}

struct Option {
  std::string_view name;
  std::string_view value;  // its value's placeholder in the help; empty: the option takes none
  void (*set)(Parsing& p, Value value);
  std::string_view help;   // its description, lines apart; empty: described with the next option
  std::string_view alias = {};  // another spelling, not in the help
};

constexpr Option kOptions[] = {
    {"--bind", "ADDR[:PORT]",
     [](Parsing& p, Value v) {
       if (const std::optional<Endpoint> e = p.Address(v)) p.Server().bind = *e;
     },
     "local address to serve (default 127.0.0.1:519)"},
    {"--port", "N",
     [](Parsing& p, Value v) {
       p.port = static_cast<uint16_t>(p.Number(v, 0, 65535));
       p.portGiven = true;
     },
     "local port, over the one of --bind (another port than 519 for\nunprivileged use)"},
    {"--driver", "ADDR[:PORT]",
     [](Parsing& p, Value v) {
       if (const std::optional<Endpoint> e = p.Address(v)) p.Server().driver = e;
     },
     "where to send before the driver is heard from (port default 519)"},
    {"--backend", "KIND", SetBackend, "line of every channel: echo (default), pty, none"},
    {"--channel", "CH=KIND", SetChannel,
     "make channel CH at start with its own line: echo, pty (its path\n"
     "is shown), none, or tty:PATH, a serial device (or any terminal)\n"
     "whose settings and breaks follow the driver's. CH is the\n"
     "registry's number, 1..256: a port with \"StartNum<n>\"=CH uses it\n"
     "(the wire carries CH - 1, shown in the trace as [wire CH-1])"},
    {"--unsequenced", "", [](Parsing& p, Value) { p.Server().backendSequenced = false; },
     "send line bytes as DATA instead of SEQDATA"},
    {"--open-seq", "N",
     [](Parsing& p, Value v) { p.Server().protocol.openSequence = static_cast<uint8_t>(p.Number(v, 0, 15)); },
     "sequence of the open reply, 0..15 (default 9)"},
    {"--no-open-reply", "", [](Parsing& p, Value) { p.Server().protocol.answerOpen = false; },
     "leave opens unanswered"},
    {"--open-reply-length", "N",
     [](Parsing& p, Value v) {
       p.Server().protocol.openReplyLength = static_cast<uint16_t>(p.Number(v, 0, 4095));
     },
     "length field of the open reply (default 3, what the driver takes)"},
    {"--no-close-reply", "", [](Parsing& p, Value) { p.Server().protocol.answerClose = false; },
     "leave closes unanswered"},
    {"--window", "N",
     [](Parsing& p, Value v) { p.Server().protocol.window = static_cast<unsigned>(p.Number(v, 1, 7)); },
     "SEQDATA packets in flight, 1..7 (default 4)"},
    {"--resend-ms", "N",
     [](Parsing& p, Value v) {
       p.Server().protocol.resendInterval = std::chrono::milliseconds(p.Number(v, 1, 600000));
     },
     "resend interval of unacknowledged SEQDATA (default 250)"},
    {"--max-payload", "N",
     [](Parsing& p, Value v) { p.Server().protocol.maxPayload = p.Number(v, 1, kMaxPayload); },
     "payload bytes per line-data packet, 1..508 (default 508)"},
    {"--seed", "N", [](Parsing& p, Value v) { p.Server().faults.seed = p.Number(v, 0, UINT64_MAX); },
     "seed of the fault injection (default 1)"},
    {"--drop-in", "P", SetProbability<&FaultOptions::fromDriver, &FaultProfile::drop>, ""},
    {"--drop-out", "P", SetProbability<&FaultOptions::toDriver, &FaultProfile::drop>, ""},
    {"--dup-in", "P", SetProbability<&FaultOptions::fromDriver, &FaultProfile::duplicate>, ""},
    {"--dup-out", "P", SetProbability<&FaultOptions::toDriver, &FaultProfile::duplicate>, ""},
    {"--reorder-in", "P", SetProbability<&FaultOptions::fromDriver, &FaultProfile::reorder>, ""},
    {"--reorder-out", "P", SetProbability<&FaultOptions::toDriver, &FaultProfile::reorder>, ""},
    {"--delay-in", "P", SetProbability<&FaultOptions::fromDriver, &FaultProfile::delay>, ""},
    {"--delay-out", "P", SetProbability<&FaultOptions::toDriver, &FaultProfile::delay>,
     "probability 0..1 of a fault on datagrams received (in) or sent (out)"},
    {"--delay-ms", "N",
     [](Parsing& p, Value v) { p.delay = std::chrono::milliseconds(p.Number(v, 0, 600000)); },
     "delay of a delayed datagram, longest hold of a reordered one (20)"},
    {"--overtake-limit", "N", [](Parsing& p, Value v) { p.overtakeLimit = p.Number(v, 0, 1000000); },
     "a held datagram passes once N later ones have (default 0: by time)"},
    {"--handshake-in-order", "", [](Parsing& p, Value) { p.handshakeInOrder = true; },
     "OPEN, CLOSE and DOWN are never held nor overtaken (may be dropped)"},
    {"--pcap", "FILE", [](Parsing& p, Value v) { p.Server().capture = v; },
     "write every datagram the server's socket sends or takes to FILE as\n"
     "a pcap capture (raw IPv4; at most 64 MiB, a note when reached)"},
    {"--trace-bytes", "", [](Parsing& p, Value) { p.Server().traceBytes = true; },
     "under each trace line, the packet's payload: 16 bytes a line, in\nhex and as text"},
    {"--quiet", "", [](Parsing& p, Value) { p.line.quiet = true; }, "no protocol trace"},
    {"--no-commands", "", [](Parsing& p, Value) { p.line.commands = false; },
     "do not read commands from standard input"},
    {"--help", "", [](Parsing& p, Value) { p.line.help = true; }, "this text", "-h"},
};

const Option* FindOption(const std::string& spelling) {
  for (const Option& o : kOptions) {
    if (spelling == o.name || (!o.alias.empty() && spelling == o.alias)) return &o;
  }
  return nullptr;
}

// The help's option lines: each option (or the options described together, as many to a line
// as fit the help's width) from column 3, and its description from column 27, on the line
// below when the options reach that column.
constexpr size_t kDescriptionColumn = 26;
constexpr size_t kHelpWidth = 94;

std::string Indented(std::string_view description) {
  std::string text;
  for (const char c : description) {
    if (c == '\n') text += "\n" + std::string(kDescriptionColumn, ' ');
    else text += c;
  }
  return text;
}

std::string OptionLines() {
  std::string text;
  std::string heading;  // the options the next description is for
  for (const Option& o : kOptions) {
    const std::string entry = std::string(o.name) + (o.value.empty() ? "" : " ") + std::string(o.value);
    const size_t lineLength = heading.size() - (heading.rfind('\n') + 1);  // npos + 1 is 0
    if (heading.empty()) heading = "  " + entry;
    else if (lineLength + 2 + entry.size() > kHelpWidth) heading += ",\n  " + entry;
    else heading += ", " + entry;
    if (o.help.empty()) continue;
    if (heading.find('\n') == std::string::npos && heading.size() + 2 <= kDescriptionColumn) {
      text += heading + std::string(kDescriptionColumn - heading.size(), ' ');
    } else {
      text += heading + "\n" + std::string(kDescriptionColumn, ' ');
    }
    text += Indented(o.help) + "\n";
    heading.clear();
  }
  return text;
}

}  // namespace

std::string Usage(const std::string& program) {
  return "usage: " + program + R"( [options]
The remote serial device server emulator: the far end of the tessacom UDP link.

)" + OptionLines() + R"(
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
  Parsing p;
  p.line.server.backend = BackendKind::Echo;
  for (size_t i = 0; i < arguments.size() && p.line.error.empty(); ++i) {
    p.option = arguments[i];
    const Option* o = FindOption(p.option);
    if (o == nullptr) p.Fail("unknown option '" + p.option + "' (see --help)");
    else if (o->value.empty()) o->set(p, {});
    else if (i + 1 >= arguments.size()) p.Fail(p.option + ": a value is needed");
    else o->set(p, arguments[++i]);
  }
  return p.Finish();
}

}  // namespace devserver
