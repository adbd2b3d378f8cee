#include "soak/soak_report.h"

#include <iomanip>
#include <ostream>
#include <string>

namespace tessacom {

namespace {

size_t Total(const std::vector<std::unique_ptr<SoakPort>>& ports,
             std::atomic<size_t> SoakFigures::*figure) {
  size_t total = 0;
  for (const auto& port : ports) total += port->Figures().*figure;
  return total;
}

void PrintPorts(const std::vector<std::unique_ptr<SoakPort>>& ports, std::ostream& out) {
  out << "\nport    to remote  from remote   writes ok/cancelled   reads ok/timed out/cancelled"
         "  purges  reopens  errors\n";
  for (const auto& port : ports) {
    const SoakFigures& f = port->Figures();
    out << std::left << std::setw(6) << port->Name() << std::right << std::setw(11) << f.written
        << std::setw(13) << f.read << std::setw(12) << f.writesDone << "/" << std::left
        << std::setw(8) << f.writesCancelled << std::right << std::setw(12) << f.readsDone << "/"
        << f.readsTimedOut << "/" << std::left << std::setw(9) << f.readsCancelled << std::right
        << std::setw(6) << f.purges << std::setw(9) << f.reopens << std::setw(8) << f.errors << "\n";
  }
  const size_t to = Total(ports, &SoakFigures::written), from = Total(ports, &SoakFigures::read);
  out << std::left << std::setw(6) << "all" << std::right << std::setw(11) << to << std::setw(13)
      << from << "   (bytes: " << std::fixed << std::setprecision(2) << (to + from) / 1048576.0
      << " MiB in all)\n"
      << "rewrites " << Total(ports, &SoakFigures::rewrites) << ", immediate characters sent "
      << Total(ports, &SoakFigures::immediates) << " (not taken "
      << Total(ports, &SoakFigures::immediatesRefused) << "), open replies later than their "
      << "open (the remote then asked to report the link down) "
      << Total(ports, &SoakFigures::lateReplies) << "\n";
}

std::string Faults(const devserver::FaultCounts& c) {
  return std::to_string(c.dropped) + " dropped, " + std::to_string(c.duplicated) +
         " duplicated, " + std::to_string(c.reordered) + " reordered, " +
         std::to_string(c.delayed) + " delayed";
}

// What the remotes refused of the driver's packets, and why, over the soak's channels.
void PrintRefusals(const std::vector<std::unique_ptr<SoakPort>>& ports, std::ostream& out) {
  devserver::ChannelSnapshot sum;
  for (const auto& port : ports) {
    const devserver::ChannelSnapshot c = port->Remote().Channel(port->Channel());
    sum.dataRefusedRepeat += c.dataRefusedRepeat;
    sum.dataRefusedOutOfOrder += c.dataRefusedOutOfOrder;
    sum.dataRefusedClosed += c.dataRefusedClosed;
    sum.rxAcksRefused += c.rxAcksRefused;
    sum.pollsRefusedClosed += c.pollsRefusedClosed;
    sum.seqDataResent += c.seqDataResent;
  }
  out << "remotes refused: data " << sum.dataRefusedRepeat << " repeated, "
      << sum.dataRefusedOutOfOrder << " out of order, " << sum.dataRefusedClosed
      << " on a closed channel; receive acknowledgements " << sum.rxAcksRefused
      << "; polls on a closed channel " << sum.pollsRefusedClosed << "; remotes resent "
      << sum.seqDataResent << " sequenced packets\n";
}

void PrintLink(const std::vector<std::unique_ptr<SoakRemote>>& remotes, std::ostream& out) {
  devserver::FaultCounts in, toDriver;
  size_t datagramsIn = 0, datagramsOut = 0, retransmissions = 0, polls = 0;
  RemoteEventCounts events;
  for (const auto& remote : remotes) {
    const devserver::ServerStats s = remote->Server().Stats();
    datagramsIn += s.datagramsIn;
    datagramsOut += s.datagramsOut;
    for (auto [sum, part] : {std::pair{&in, &s.faultsIn}, std::pair{&toDriver, &s.faultsOut}}) {
      sum->dropped += part->dropped;
      sum->duplicated += part->duplicated;
      sum->reordered += part->reordered;
      sum->delayed += part->delayed;
    }
    retransmissions += remote->Counter().Retransmissions();
    polls += remote->Counter().Polls();
    const RemoteEventCounts e = remote->Events();
    events.openReplies += e.openReplies;
    events.pollFloods += e.pollFloods;
    events.downs += e.downs;
    events.downsSkipped += e.downsSkipped;
    events.vanishes += e.vanishes;
  }
  out << "datagrams driver -> remotes: " << datagramsIn << " (" << Faults(in) << ")\n"
      << "datagrams remotes -> driver: " << datagramsOut << " (" << Faults(toDriver) << ")\n"
      << "driver data retransmissions: " << retransmissions << ", polls: " << polls << "\n"
      << "remote events: " << events.openReplies << " repeated open replies, "
      << events.pollFloods << " poll floods, " << events.downs << " link-downs (and "
      << events.downsSkipped << " not taken: data would not drain), " << events.vanishes
      << " vanishings\n";
}

}  // namespace

void ShowPlan(int ports, int servers, uint64_t bytes, const SoakFaults& faults, std::ostream& out) {
  out << "soak: " << ports << " ports on " << servers << " emulated remotes, " << bytes / 2
      << " bytes each way, " << faults.rate * 100
      << " % of datagrams dropped, duplicated, reordered and delayed both ways, clock x"
      << faults.speed << ", seed " << faults.seed << "\n"
      << (faults.beyondLimit
              ? "soak: BEYOND the protocol's limit: datagrams held back by time alone, handshakes "
                "too, link-downs at any moment; what it finds is reported, not counted as a "
                "driver fault\n"
              : "soak: inside the protocol's limit: no datagram overtaken by more than two later "
                "ones, handshakes never held, link-downs only with nothing in flight\n")
      << std::flush;  // before the load: a person piping the soak sees what it is doing
}

void ShowProgress(const std::vector<std::unique_ptr<SoakPort>>& ports, uint64_t bytes,
                  SoakClock::duration elapsed, bool terminal, std::ostream& out) {
  const size_t moved = Total(ports, &SoakFigures::written) + Total(ports, &SoakFigures::read);
  out << (terminal ? "\r" : "") << "soak: " << std::fixed << std::setprecision(2)
      << moved / 1048576.0 << " of " << bytes / 1048576.0 << " MiB checked, "
      << Total(ports, &SoakFigures::errors) << " errors, "
      << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << " s"
      << (terminal ? "" : "\n") << std::flush;
}

size_t Report(const std::vector<std::unique_ptr<SoakPort>>& ports,
              const std::vector<std::unique_ptr<SoakRemote>>& remotes, const SoakFaults& faults,
              std::ostream& out) {
  PrintPorts(ports, out);
  PrintLink(remotes, out);
  PrintRefusals(ports, out);
  for (const auto& port : ports) {
    for (const std::string& error : port->Errors()) out << "error: " << error << "\n";
  }
  for (const auto& port : ports) {
    const std::vector<std::string> trace = port->StallTrace();
    if (trace.empty()) continue;
    out << "the last datagrams of " << port->Name() << "'s channel before its stall:\n";
    for (const std::string& line : trace) out << "  " << line << "\n";
  }
  const size_t errors = Total(ports, &SoakFigures::errors);
  const size_t stalls = Total(ports, &SoakFigures::stalls);
  if (faults.beyondLimit) {
    out << "found beyond the protocol's limit: " << errors << " (" << stalls
        << " stalls), not counted as driver faults\n\n";
  } else {
    out << "stalls: " << stalls << "\nerrors found: " << errors << "\n\n";
  }
  return errors;
}

}  // namespace tessacom
