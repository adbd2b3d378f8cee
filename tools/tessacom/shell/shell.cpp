#include "shell/shell.h"

#include <cstdio>
#include <cstdlib>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>

#include "configuration_notes.h"
#include "devserver.h"
#include "host_session.h"
#include "report.h"
#include "nt_names.h"
#include "open_refusal.h"
#include "shell/shell_session.h"
#include "stop_signals.h"

namespace tessacom {
namespace {

// How long the end of a session waits for cancelled requests, and again after the handles'
// cleanup, before it names what the driver kept.
constexpr std::chrono::seconds kFinishLimit(5);

std::unique_ptr<devserver::DeviceServer> StartEmulator(const Options& options, uint16_t wirePort,
                                                       std::ostream& err) {
  devserver::ServerOptions serverOptions;
  serverOptions.bind = devserver::Endpoint{*options.devserver, wirePort};
  serverOptions.driver = devserver::Endpoint{*options.bind, wirePort};
  serverOptions.backend = devserver::BackendKind::Echo;
  serverOptions.traceLimit = 0;
  auto server = std::make_unique<devserver::DeviceServer>(serverOptions);
  std::string error;
  if (!server->Start(&error)) {
    err << "tessacom shell: the device server emulator cannot start: " << error << "\n";
    return nullptr;
  }
  err << "device server emulator on " << server->Local().ToString() << ", echo channels\n";
  return server;
}

// Runs the commands; false when the driver kept requests it never completed. `status` writes
// the link's status to the error stream, beside the load report.
bool Converse(const Options& options, HostSession& host, std::istream& in, std::ostream& out,
              std::ostream& err) {
  shell::LineWriter writer([&out](std::string_view line) { out << line << '\n' << std::flush; });
  auto status = [&host, &err] { host.PrintStatus(err); err << std::flush; };
  auto openFailed = [&host, &err](const std::string& name, NTSTATUS failure, double seconds) {
    const std::string why = OpenRefusalText(host.Driver(), name, failure, seconds);
    if (!why.empty()) err << "open " << name << ": " << StatusName(failure) << ": " << why << "\n" << std::flush;
  };
  auto session = std::make_unique<shell::Session>(writer, options.speed.value_or(1.0), status, openFailed);
  SetStopAction([&session] { session->Interrupt(); });
  shell::RunCommands(in, *session, writer);
  ClearStopAction();
  shell::FinishReport report = session->Finish(kFinishLimit);
  if (StopRequested()) err << StopWord() << "\n";
  err << "end of session: " << report.cancelled << " request(s) cancelled, " << report.closed
      << " handle(s) closed\n";
  for (const auto& request : report.unfinished) err << "  never completed: " << request << "\n";
  if (!report.unfinished.empty()) {
    session.release();  // its waiters still wait on the driver; nothing may wait for them
    return false;
  }
  return true;
}

// Names in columns of a help text: "NAME (0xNUMBER)" or "NAME (NUMBER)".
std::string NameList(std::span<const NamedNumber> table, bool hex) {
  std::ostringstream text;
  size_t column = 0;
  for (const NamedNumber& entry : table) {
    char item[80];
    std::snprintf(item, sizeof item, hex ? "%s (0x%X)" : "%s (%u)", entry.name, entry.number);
    std::string word = item;
    if (column != 0 && column + word.size() + 2 > 92) {
      text << ",\n";
      column = 0;
    } else if (column != 0) {
      text << ", ";
      column += 2;
    }
    if (column == 0) {
      text << "    ";
      column = 4;
    }
    text << word;
    column += word.size();
  }
  text << "\n";
  return text.str();
}

}  // namespace

int RunShell(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
  uint16_t wirePort = LinkWirePort(kUnprivilegedLinkPort);
  std::unique_ptr<devserver::DeviceServer> server;
  if (options.devserver) {
    server = StartEmulator(options, wirePort, err);
    if (!server) return 1;
  }
  if (wirePort != 519) err << "(not root: UDP port 519 is carried on port " << wirePort << ")\n";

  HostSession session(options.image, options.bind.value_or(0), wirePort, options.speed.value_or(1.0),
                      options.loopbackOnly);
  if (options.pcap && !session.StartCapture(*options.pcap, err)) return 1;
  session.PrepareRegistry(options.reg);
  if (server && !options.reg) session.ConfigureServer(*options.devserver);
  PrintNotes(err, RegistryNotes());
  NTSTATUS status = session.Load();
  PrintLoadReport(err, status, session.Driver());
  const std::string refusal = session.EndpointRefusal();
  if (!refusal.empty()) err << "refused: " << refusal << "\n";
  const bool serving = NT_SUCCESS(status) && refusal.empty();
  session.WatchLink();
  if (serving && !Converse(options, session, in, out, err)) {
    // The driver still holds requests: it cannot be unloaded, and the host cannot be stopped.
    err << "the driver is left loaded; exiting\n" << std::flush;
    out << std::flush;
    std::_Exit(1);
  }
  session.Unload(err);
  if (server) server->Stop();
  if (!serving) return 1;
  return StopRequested() ? StoppedExitStatus() : 0;
}

std::string ShellHelpText() {
  return "usage: tessacom shell [--image FILE] [--reg FILE] [--bind ADDR] [--devserver ADDR]\n"
         "                      [--speed F] [--loopback-only] [--pcap FILE]\n\n"
         "Loads the driver in the live host, reads one command a line on standard input and\n"
         "answers each with one line on standard output. At the end of input (or `quit`, or at\n"
         "Ctrl-C or SIGTERM, which also cancel the request the shell waits for) every request\n"
         "still in flight is cancelled, every handle closed and the driver unloaded.\n"
         "The load report and the summary (\"nothing outstanding\", or what was left) go to\n"
         "standard error, so standard output holds only answers.\n\n"
         "options:\n"
         "  --reg FILE        the registry's .reg file, as for load\n"
         "  --bind ADDR       the local IPv4 address of the driver's UDP endpoint, as for load\n"
         "  --devserver ADDR  start a device server emulator with echo channels on loopback\n"
         "                    ADDR (needs --bind with another loopback address); without --reg\n"
         "                    COM3 to COM5 are channels 1 to 3 of it\n"
         "  --speed F         run the live clock F times faster (0.01 to 1000)\n"
         "  --loopback-only   send nothing beyond 127.0.0.0/8 (the host's loopback guard; each\n"
         "                    send elsewhere is refused and counted); without it the driver\n"
         "                    reaches every remote the configuration names, on UDP port 519\n"
         "  --pcap FILE       capture the driver's datagrams into FILE (pcap, raw IPv4; at\n"
         "                    most 64 MiB)\n\n"
         "commands (words and names in any case; a line starting with # is a comment):\n"
         "  open NAME                   open COM3, \\\\.\\COM3 or \\Device\\x: the current port\n"
         "  close                       close the handle (the driver's cleanup, then close)\n"
         "  write HEX                   write the bytes (hex digit pairs, may be split by spaces)\n"
         "  read N                      read up to N bytes\n"
         "  flush                       flush the port's buffers\n"
         "  ioctl CODE [in=HEX] [out=N] a device control: CODE a name below (with or without\n"
         "                              IOCTL_SERIAL_) or a number (0x1B0004 or 1769476)\n"
         "  query CLASS [out=N]         query information; CLASS a name below or a number;\n"
         "                              out=N defaults to 256\n"
         "  set CLASS [in=HEX]          set information\n"
         "  @NAME COMMAND ...           run a port command on another open port\n"
         "  &COMMAND ...                run a request asynchronously: answer `pending ID`; when\n"
         "                              it completes, the line `done ID STATUS INFO [HEX]`\n"
         "  cancel ID                   cancel it: `cancel ID TRUE` when a cancel routine ran,\n"
         "                              `cancel ID FALSE` when none did (done, or none set)\n"
         "  await ID [MS]               wait up to MS ms (default 10000) for it: its answer (its\n"
         "                              done line came first), or `pending ID` if it is not done\n"
         "  sleep MS                    pause; answers `ok`\n"
         "  status                      the link's status per port and per remote, on standard\n"
         "                              error; answers `ok`\n"
         "  help                        the commands in one line\n"
         "  quit                        end the session; answers `ok`\n\n"
         "answers:\n"
         "  STATUS INFO [HEX]   status name (or 0xC00000XX), information count in decimal, and\n"
         "                      the bytes returned (read, ioctl, query; none on failure) in hex\n"
         "  error REASON        a malformed line, or one that cannot run (no such port or\n"
         "                      request): nothing was sent. A failed request is an answer.\n\n"
         "limits: " + std::to_string(shell::kMaxTransfer) + " bytes a transfer, " +
         std::to_string(shell::kMaxLine) + " characters a line, " + std::to_string(shell::kMaxInFlight) +
         " asynchronous\nrequests in flight, " + std::to_string(shell::kMaxMilliseconds) +
         " ms a sleep or await; MS counts the live clock's milliseconds.\n\n"
         "control codes:\n" +
         NameList(ControlCodes(), true) + "information classes:\n" + NameList(InformationClasses(), false) +
         "statuses:\n" + NameList(Statuses(), true);
}

}  // namespace tessacom
