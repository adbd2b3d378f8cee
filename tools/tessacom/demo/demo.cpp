// The commands: load (load, report, unload), serve (until interrupted) and demo (a short
// session against an embedded device server emulator).
#include "demo/demo.h"

#include <signal.h>

#include <iostream>
#include <sstream>

#include "configuration_notes.h"
#include "demo/demo_session.h"
#include "devserver.h"
#include "endpoint.h"
#include "host/registry/registry.h"
#include "host_session.h"
#include "privileges.h"
#include "pty_serving.h"
#include "report.h"

namespace tessacom {

namespace {

// Loopback addresses of the demo: the driver's endpoint and the emulated server.
constexpr uint32_t kDemoDriverAddress = 0x7F4D0001;  // 127.77.0.1
constexpr uint32_t kDemoServerAddress = 0x7F4D0002;  // 127.77.0.2

// Loads with the notes and the report; 1 when the load failed or left the driver without its
// endpoint (a run that would send and receive nothing is refused).
int LoadAndReport(HostSession& session, std::ostream& out) {
  PrintNotes(out, RegistryNotes());
  NTSTATUS status = session.Load();
  PrintLoadReport(out, status, session.Driver());
  if (const std::string refusal = session.EndpointRefusal(); !refusal.empty()) {
    out << "refused: " << refusal << "\n";
    return 1;
  }
  return NT_SUCCESS(status) ? 0 : 1;
}

// The link's status as one block of lines, without its last line end.
std::string StatusText(HostSession& session) {
  std::ostringstream text;
  session.PrintStatus(text);
  std::string lines = text.str();
  if (!lines.empty() && lines.back() == '\n') lines.pop_back();
  return lines;
}

// Once the driver's socket is open: the terminals' directory, made for the user serve will run
// as, the change to that user, then the bridge, whose terminals are made by that user.
bool StartServing(const Options& options, const ServeAccounts& accounts, PtyServing& pty) {
  if (options.pty && !pty.MakeDirectory(*options.pty, accounts.runAs)) return false;
  std::string error;
  if (accounts.runAs) {
    if (!DropPrivileges(*accounts.runAs, &error)) {
      pty.Say("serve: cannot run as " + accounts.runAs->name + ": " + error);
      return false;
    }
    pty.Say("serve: running as " + accounts.runAs->name + " (uid " + std::to_string(accounts.runAs->uid) +
            ", gid " + std::to_string(accounts.runAs->gid) + ")");
  }
  return !options.pty || pty.Start(*options.pty, options.exclusive, accounts);
}

}  // namespace

int RunLoad(const Options& options, std::ostream& out) {
  HostSession session(options.image, options.bind.value_or(0), 0, 1.0, options.loopbackOnly);
  session.PrepareRegistry(options.reg);
  int result = LoadAndReport(session, out);
  session.Unload(out);
  return result;
}

int RunServe(const Options& options, std::ostream& out) {
  // Block the signals first, so that every thread the host starts inherits the mask and the
  // signal is taken here by sigwait.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  ServeAccounts accounts;
  std::string error;
  if (!ResolveServeAccounts(options, &accounts, &error)) {
    out << "serve: " << error << "\n";
    return 2;
  }
  HostSession session(options.image, options.bind.value_or(0), 0, 1.0, options.loopbackOnly);
  session.PrepareRegistry(options.reg);
  int result = options.pcap && !session.StartCapture(*options.pcap, out) ? 1 : 0;
  if (result == 0) result = LoadAndReport(session, out);
  session.WatchLink();
  PtyServing pty(out, session.Driver());
  if (result == 0 && !StartServing(options, accounts, pty)) result = 1;
  if (result == 0) {
    pty.Say("serving on " + devserver::AddressToString(options.bind.value_or(0)) + ":519" +
            (options.loopbackOnly ? ", loopback only" : "") +
            "; Ctrl-C or SIGTERM stops, SIGUSR1 prints the status");
    int signal = 0;
    while (sigwait(&stop, &signal) == 0 && signal == SIGUSR1) pty.Say(StatusText(session));
    pty.Say(signal == SIGINT ? "\ninterrupted" : "\nterminated");
  }
  pty.Stop();
  if (result == 0) pty.Say("status at the end:\n" + StatusText(session));
  session.Unload(out);
  return result;
}

int RunDemo(const Options& options, std::ostream& out) {
  uint16_t wirePort = LinkWirePort(kUnprivilegedLinkPort);
  devserver::ServerOptions serverOptions;
  serverOptions.bind = devserver::Endpoint{kDemoServerAddress, wirePort};
  serverOptions.driver = devserver::Endpoint{kDemoDriverAddress, wirePort};
  serverOptions.backend = devserver::BackendKind::Echo;
  serverOptions.traceBytes = options.traceBytes;
  devserver::DeviceServer server(serverOptions);
  std::string error;
  if (!server.Start(&error)) {
    out << "demo: the device server emulator cannot start: " << error << "\n";
    return 1;
  }
  out << "device server emulator on " << server.Local().ToString()
      << ", its channels echoing what the driver writes\n";
  if (wirePort != 519) out << "(not root: UDP port 519 is carried on port " << wirePort << ")\n";

  HostSession session(options.image, kDemoDriverAddress, wirePort);
  if (options.pcap && !session.StartCapture(*options.pcap, out)) return 1;
  session.PrepareRegistry(std::nullopt);
  session.ConfigureServer(kDemoServerAddress);
  out << "\nconfiguration:\n" << host::registry::SaveRegText(std::string(host::registry::kServices) + "\\tessacom") << "\n";
  int result = LoadAndReport(session, out);
  if (result == 0 && !RunDemoSession(out, server)) result = 1;
  out << "\n";
  session.Unload(out);
  server.Stop();
  return result;
}

}  // namespace tessacom
