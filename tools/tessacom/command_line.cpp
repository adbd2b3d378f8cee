#include "command_line.h"

#include <cstdlib>

#include "endpoint.h"
#include "shell/shell.h"

namespace tessacom {
namespace {

std::optional<double> ParseSpeed(const std::string& text) {
  char* end = nullptr;
  double factor = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(factor >= 0.01 && factor <= 1000)) return std::nullopt;
  return factor;
}

// Options that belong to other commands, and what the shell's emulator needs.
std::string CheckCombination(const Options& options) {
  if (options.command == "demo" && (options.reg || options.bind)) {
    return "the demo makes its own configuration; --reg and --bind belong to load, serve and shell";
  }
  if (options.command != "shell" && options.devserver) return "--devserver belongs to shell";
  if (options.command != "shell" && options.command != "soak" && options.speed) {
    return "--speed belongs to shell and soak";
  }
  if (options.command != "soak" && (options.bytes || options.seed || options.beyondLimit)) {
    return "--bytes, --seed and --beyond-limit belong to soak";
  }
  if (options.command == "soak" && (options.reg || options.bind || options.pty)) {
    return "the soak makes its own configuration; --reg, --bind and --pty belong to other commands";
  }
  if (options.pty && options.command != "serve") return "--pty belongs to serve";
  if (options.user && options.command != "serve") return "--user belongs to serve";
  if (options.traceBytes && options.command != "demo") return "--trace-bytes belongs to demo";
  if (options.loopbackOnly && options.command != "load" && options.command != "serve" &&
      options.command != "shell") {
    return "--loopback-only belongs to load, serve and shell (demo, bench and soak never leave "
           "loopback)";
  }
  if (options.exclusive && !options.pty) return "--exclusive belongs to serve --pty";
  if ((options.ptyOwner || options.ptyMode) && !options.pty) return "--pty-owner and --pty-mode belong to serve --pty";
  if (options.pcap && (options.command == "load" || options.command == "bench")) {
    return "--pcap belongs to serve, shell, demo and soak";
  }
  if ((options.quick || options.json) && options.command != "bench") {
    return "--quick and --json belong to bench";
  }
  if (options.command == "bench" && (options.reg || options.bind)) {
    return "the bench makes its own configuration; --reg and --bind belong to load, serve and shell";
  }
  if (options.devserver && (!options.bind || *options.bind == *options.devserver)) {
    return "--devserver needs --bind with another loopback address: the driver's endpoint and the "
           "emulator cannot share one";
  }
  return "";
}

// A whole number from 1 to 2^40 (a soak's bytes) or from 0 (a seed).
std::optional<uint64_t> ParseCount(const std::string& text, uint64_t least) {
  char* end = nullptr;
  if (text.empty() || text[0] == '-') return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value < least || value > (1ull << 40)) return std::nullopt;
  return value;
}

// Permission bits in octal (660, 0660): no set-id or sticky bit.
std::optional<uint32_t> ParseMode(const std::string& text) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos) return std::nullopt;
  const uint32_t mode = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 8));
  return mode <= 0777 ? std::optional<uint32_t>(mode) : std::nullopt;
}

}  // namespace

Options ParseCommandLine(const std::vector<std::string>& arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); i++) {
    const std::string& arg = arguments[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= arguments.size()) {
        options.error = std::string(name) + " needs a value";
        return std::nullopt;
      }
      return arguments[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--reg") {
      if (auto file = value("--reg")) options.reg = *file;
    } else if (arg == "--image") {
      if (auto file = value("--image")) options.image = *file;
    } else if (arg == "--bind") {
      if (auto text = value("--bind")) {
        options.bind = devserver::ParseAddress(*text);
        if (!options.bind) options.error = "--bind: not an IPv4 address: " + *text;
      }
    } else if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--exclusive") {
      options.exclusive = true;
    } else if (arg == "--trace-bytes") {
      options.traceBytes = true;
    } else if (arg == "--loopback-only") {
      options.loopbackOnly = true;
    } else if (arg == "--beyond-limit") {
      options.beyondLimit = true;
    } else if (arg == "--json") {
      if (auto file = value("--json")) options.json = *file;
    } else if (arg == "--pcap") {
      if (auto file = value("--pcap")) options.pcap = *file;
    } else if (arg == "--pty") {
      if (auto directory = value("--pty")) options.pty = *directory;
    } else if (arg == "--user" || arg == "--pty-owner") {
      if (auto name = value(arg.c_str())) (arg == "--user" ? options.user : options.ptyOwner) = *name;
    } else if (arg == "--pty-mode") {
      if (auto text = value("--pty-mode")) {
        options.ptyMode = ParseMode(*text);
        if (!options.ptyMode) options.error = "--pty-mode: expected permission bits in octal, 0 to 0777, got " + *text;
      }
    } else if (arg == "--devserver") {
      if (auto text = value("--devserver")) {
        options.devserver = devserver::ParseAddress(*text);
        if (!options.devserver || (*options.devserver >> 24) != 127) {
          options.error = "--devserver: not a loopback address (127.0.0.0/8): " + *text;
        }
      }
    } else if (arg == "--speed") {
      if (auto text = value("--speed")) {
        options.speed = ParseSpeed(*text);
        if (!options.speed) options.error = "--speed: expected a factor from 0.01 to 1000, got " + *text;
      }
    } else if (arg == "--bytes" || arg == "--seed") {
      if (auto text = value(arg.c_str())) {
        auto& field = arg == "--bytes" ? options.bytes : options.seed;
        field = ParseCount(*text, arg == "--bytes" ? 1 : 0);
        if (!field) options.error = arg + ": expected a whole number up to 2^40, got " + *text;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      options.error = "unknown option: " + arg;
    } else if (options.command.empty()) {
      options.command = arg;
      if (arg != "load" && arg != "serve" && arg != "shell" && arg != "demo" &&
          arg != "bench" && arg != "soak") {
        options.error = "unknown command: " + arg;
      }
    } else {
      options.error = "unexpected argument: " + arg;
    }
    if (!options.error.empty()) break;
  }
  if (options.error.empty()) options.error = CheckCombination(options);
  return options;
}

// What --pcap does, for the commands that take it.
static const char kPcapHelp[] =
    "\n--pcap FILE writes every datagram the driver's UDP endpoint sends or receives, with its\n"
    "addresses, ports and time, to FILE as a pcap capture (raw IPv4), for tcpdump -r or\n"
    "Wireshark (tools/wireshark/ decodes the link). The file stops growing at 64 MiB, with a note.\n";

// What --loopback-only does, for the commands that take it.
static const char kLoopbackHelp[] =
    "\nThe driver reaches every remote server its configuration names (\"dAddress<n>\"), on UDP\n"
    "port 519 at both ends. --loopback-only turns the host's loopback guard on: nothing is sent\n"
    "beyond 127.0.0.0/8, each send to another address is refused and counted, and a note names\n"
    "the remotes it keeps the link from.\n";

// Every command runs the compiled-in driver unless told to run a kernel image.
static const char kImageHelp[] =
    "\n--image FILE runs the kernel image FILE (tessacom.sys as built by the nt or nt-x64 preset)\n"
    "in place of the driver compiled into this program; only an image host runs one: the 32-bit\n"
    "host (host-i386 preset) the i386 image, the x64 image host (host-x64-image) the x64 one.\n";

static std::string CommandHelp(const std::string& command) {
  if (command == "load") {
    return "usage: tessacom load [--image FILE] [--reg FILE] [--bind ADDR] [--loopback-only]\n\n"
           "Loads the driver in the live host with the registry of FILE (a .reg file, merged\n"
           "over an empty registry; without one, an empty \"tessacom\" key, so every default\n"
           "applies), prints the devices, COM links, SERIALCOMM values, receiver threads and\n"
           "error-log entries it made, unloads it and prints what was left behind. --bind ADDR\n"
           "is the local address of the driver's UDP endpoint, as for serve. Lines starting\n"
           "\"note:\" say what the driver will not take as written (a missing key, a value that\n"
           "is not a 4-byte REG_DWORD, \"MaxPort\" above 256, a configuration that leaves no\n"
           "port) and, with --loopback-only, which remote servers it keeps the link from.\n" +
           std::string(kLoopbackHelp);
  }
  if (command == "serve") {
    return "usage: tessacom serve [--image FILE] [--reg FILE] [--bind ADDR] [--user USER]\n"
           "                      [--pty DIR [--exclusive] [--pty-owner USER[:GROUP]] [--pty-mode MODE]]\n"
           "                      [--loopback-only] [--pcap FILE]\n\n"
           "Loads the driver as `load` does and keeps it serving until interrupted (Ctrl-C or\n"
           "SIGTERM), then unloads it and prints what was left behind. --bind ADDR is the local\n"
           "IPv4 address the driver's UDP endpoint (port 519, any address) is bound to; a serve\n"
           "whose endpoint cannot bind it (another serve on that address, or no right to a port\n"
           "below 1024) is refused at start, saying why. Port 519 needs root, or the program\n"
           "given the capability to bind it (README, \"Running as an ordinary user\"); started as\n"
           "root, --user USER runs serve as USER once the socket is open.\n\n"
           "With --pty DIR every COM port gets a pseudo-terminal behind the link DIR/COMn (DIR is\n"
           "made if missing; a file or a foreign link already there is left alone and stops serve):\n"
           "a program that opens the link opens the port, its last close closes it; at the\n"
           "interruption every open port is closed and the links removed before the unload. As on\n"
           "a serial device of the system, other programs may open a port that one holds; with\n"
           "--exclusive they get EBUSY instead (unless they have the administrator's capability).\n"
           "The terminals belong to --pty-owner USER[:GROUP] (default: the invoking user, or the\n"
           "--user, and their own group) with --pty-mode MODE (octal, default 0660).\n"
           "SIGUSR1 prints the link's status (per port and per remote); so does the end.\n" +
           std::string(kLoopbackHelp) + kPcapHelp;
  }
  if (command == "shell") return ShellHelpText();
  if (command == "demo") {
    return "usage: tessacom demo [--image FILE] [--trace-bytes] [--pcap FILE]\n\n"
           "Starts a device server emulator whose channels echo what they receive, loads the\n"
           "driver with COM3 to COM5 bound to it, and runs an application's session on COM3:\n"
           "open, 115200 8N1, a 300-byte pattern written (three acknowledged data packets) and\n"
           "read back through the echo, close. Then it shows the protocol trace the emulator\n"
           "recorded, unloads, and prints what the unload left behind. With --trace-bytes each\n"
           "packet's payload follows its trace line, 16 bytes a line in hex and as text. The\n"
           "README (\"Reading the demo\") explains the trace line by line.\n" +
           std::string(kPcapHelp);
  }
  if (command == "bench") {
    return "usage: tessacom bench [--image FILE] [--quick] [--json FILE]\n\n"
           "Measures what the link delivers and what it costs, in the live host at real speed,\n"
           "against device server emulators on loopback addresses of its own (127.255.y.z):\n"
           "write throughput (1, 4 and 16 ports on 1 and on 4 servers), read throughput (the\n"
           "remote offering data as fast as the protocol lets it), one-byte echo latency, opens\n"
           "and closes, and 256 ports on 256 servers (load, open, write, close, unload). Each\n"
           "throughput is compared with the bound the link's pace sets, computed from round\n"
           "trips measured in the same run; the CPU each costs is given per MiB, in all and\n"
           "for the host alone (without the emulators and the driver's mandated busy-waits).\n"
           "A progress line runs on standard error; the table ends the run.\n\n"
           "  --quick      a short run (under 30 s): fewer samples, shorter stretches\n"
           "  --json FILE  the figures also as JSON in FILE\n";
  }
  if (command == "soak") {
    return "usage: tessacom soak [--image FILE] [--bytes N] [--seed S] [--speed F] [--beyond-limit]\n"
           "                     [--pcap FILE]\n\n"
           "Runs 8 ports (COM3 to COM10) on 2 device server emulators, both directions at once,\n"
           "through fault injection that drops, duplicates, reorders and delays 5 % of the\n"
           "datagrams each way, while the remotes now and then repeat an open reply, flood a\n"
           "port with polls, take a port's link down (its application then closes and reopens\n"
           "it) or vanish for 20 s. Each port's writer and reader run requests of random sizes\n"
           "with random read timeouts, and cancel, rewrite or purge some of them; the writer\n"
           "sends some bytes as immediate characters. Every byte is checked: what a completed\n"
           "request reported must arrive once, in order, unchanged; a cancelled write may have\n"
           "sent a first part of its bytes, a cancelled read may have taken bytes with it, and\n"
           "nothing else may go missing. A port whose bytes stop moving for longer than the\n"
           "protocol needs to recover (eight polls of the driver's clock) has stalled: an error.\n"
           "The faults stay inside what the 4-bit sequences of the link can survive (README,\n"
           "Reliability); --beyond-limit goes past it and reports what happens without counting\n"
           "it as the driver's. A progress line runs meanwhile; the summary gives the bytes each\n"
           "way per port, the requests' outcomes, the datagrams' faults, the remotes' events,\n"
           "the driver's retransmissions and polls and the errors found; then the driver is\n"
           "unloaded under the verifier's checks.\n\n"
           "  --bytes N       bytes in all, both ways together (default 16 MiB)\n"
           "  --seed S        the seed of every random choice (default 1)\n"
           "  --speed F       the driver's clock runs F times faster than real time (default 100)\n"
           "  --beyond-limit  faults past the protocol's limit, reported, not counted\n"
           "  --pcap FILE     capture the driver's datagrams (below)\n\n"
           "Exit status 0 when no error (stalls included) was found, or with --beyond-limit.\n" +
           std::string(kPcapHelp);
  }
  return "usage: tessacom COMMAND [--image FILE] [OPTIONS]\n\n"
         "The host's command line for the tessacom network serial-port driver.\n\n"
         "commands:\n"
         "  load [--reg FILE] [--bind ADDR]   load the driver, show what it made, unload\n"
         "  serve [--reg FILE] [--bind ADDR] [--user USER] [--pty DIR]\n"
         "                                    load the driver and serve until interrupted,\n"
         "                                    the COM ports as pseudo-terminals in DIR\n"
         "  shell [OPTIONS]                   commands on standard input, answers on standard output\n"
         "  demo                              a short session against an emulated device server\n"
         "  bench [--quick] [--json FILE]     measure throughput, latency, cost and scale\n"
         "  soak [--bytes N] [--seed S]       every byte checked through a faulty link\n\n"
         "load, serve and shell reach every remote server the configuration names; with\n"
         "--loopback-only they send nothing beyond 127.0.0.0/8. `tessacom COMMAND --help`\n"
         "describes each command.\n";
}

std::string HelpText(const std::string& command) { return CommandHelp(command) + kImageHelp; }

}  // namespace tessacom
