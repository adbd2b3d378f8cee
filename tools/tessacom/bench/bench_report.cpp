#include "bench/bench_report.h"

#include <cstdio>
#include <ostream>

namespace tessacom::bench {

namespace {

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

void AddRatioTargets(std::vector<Target>& targets, const Throughput& row, int ports, double least) {
  if (row.ports != ports || row.label.rfind("write", 0) != 0) return;
  targets.push_back({row.label + ": >= " + Format("%.2f", least) + " x bound",
                     Format("%.3f", row.ratio), row.ratio >= least});
}

std::string Row(const Throughput& t) {
  char text[200];
  std::snprintf(text, sizeof text, "  %-26s %10.0f %9.0f %7.1f %10.0f %6.3f %9.2f %9.2f\n",
                t.label.c_str(), t.bytesPerSecond, t.packetsPerSecond, t.meanPayload, t.bound,
                t.ratio, t.cost.cpuPerMiB, t.cost.hostPerMiB);
  return text;
}

std::string Spread(const Percentiles& p, const char* unit) {
  char text[120];
  std::snprintf(text, sizeof text, "p50 %8.1f  p99 %8.1f  max %8.1f %s  (%d samples)", p.p50, p.p99,
                p.max, unit, p.samples);
  return text;
}

std::string EchoRow(const char* label, const EchoUnderLoad& e) {
  char text[200];
  std::snprintf(text, sizeof text, "  %-26s %10.0f  p50 %8.1f  p99 %8.1f  max %9.1f us  %5d samples, %d lost\n",
                label, e.bytesPerSecond, e.micros.p50, e.micros.p99, e.micros.max, e.micros.samples,
                e.failed);
  return text;
}

void PrintFlood(std::ostream& out, const Flood& f) {
  out << "echo of one 128-byte data packet, the remote alone and with another remote flooding:\n"
      << "                                 bytes/s\n"
      << EchoRow("alone", f.quiet)
      << EchoRow(Format("flood of %.0f datagrams/s", f.floodPerSecond).c_str(), f.flooded)
      << Format("  the transport took %.0f datagrams/s from its socket; dropped by the kernel %.0f,\n",
                f.takenPerSecond, f.kernelDropped)
      << Format("  by the transport %.0f: %.0f of the flooding remote, %.0f of the echoing one\n\n",
                f.transportDropped, f.fromFlooder, f.fromGoodRemote);
}

void JsonEcho(std::ostream& out, const char* name, const EchoUnderLoad& e) {
  out << "\"" << name << "\": {\"seconds\": " << e.seconds << ", \"bytes_per_second\": "
      << e.bytesPerSecond << ", \"samples\": " << e.micros.samples << ", \"p50_us\": " << e.micros.p50
      << ", \"p99_us\": " << e.micros.p99 << ", \"max_us\": " << e.micros.max
      << ", \"lost\": " << e.failed << "}";
}

void JsonFlood(std::ostream& out, const Flood& f) {
  out << "  \"flood\": {";
  JsonEcho(out, "alone", f.quiet);
  out << ", ";
  JsonEcho(out, "flooded", f.flooded);
  out << ", \"flood_datagrams_per_second\": " << f.floodPerSecond
      << ", \"taken_per_second\": " << f.takenPerSecond
      << ", \"transport_dropped\": " << f.transportDropped
      << ", \"transport_dropped_flooder\": " << f.fromFlooder
      << ", \"transport_dropped_echoing\": " << f.fromGoodRemote
      << ", \"kernel_dropped\": " << f.kernelDropped << "},\n";
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
  }
  return quoted + "\"";
}

void JsonSpread(std::ostream& out, const char* name, const Percentiles& p, bool last = false) {
  out << "  \"" << name << "\": {\"samples\": " << p.samples << ", \"p50\": " << p.p50
      << ", \"p99\": " << p.p99 << ", \"max\": " << p.max << "}" << (last ? "\n" : ",\n");
}

void JsonThroughput(std::ostream& out, const Throughput& t, bool last) {
  out << "    {\"label\": " << JsonString(t.label) << ", \"ports\": " << t.ports << ", \"servers\": "
      << t.servers << ", \"seconds\": " << t.seconds << ", \"bytes_per_second\": "
      << t.bytesPerSecond << ", \"packets_per_second\": " << t.packetsPerSecond
      << ", \"mean_payload\": " << t.meanPayload << ", \"bound\": " << t.bound
      << ", \"ratio\": " << t.ratio << ", \"cpu_seconds_per_mib\": " << t.cost.cpuPerMiB
      << ", \"host_cpu_seconds_per_mib\": " << t.cost.hostPerMiB
      << ", \"bytes_per_receive_ack\": " << t.bytesPerReceiveAck << ", \"intact\": "
      << (t.intact ? "true" : "false") << "}" << (last ? "\n" : ",\n");
}

}  // namespace

std::vector<Target> JudgeTargets(const Figures& f) {
  std::vector<Target> targets;
  for (const Throughput& row : f.writes) {
    AddRatioTargets(targets, row, 16, 0.90);
    AddRatioTargets(targets, row, 1, 0.85);
  }
  // A target whose figure a partial run never measured is shown, not judged.
  auto judge = [&](Target target, bool measured) {
    target.judged = measured || f.interrupted.empty();
    targets.push_back(std::move(target));
  };
  judge({"read as programs read: >= 0.85 x bound", Format("%.3f", f.readAsPrograms.ratio),
         f.readAsPrograms.ratio >= 0.85},
        f.readAsPrograms.seconds > 0);
  judge({"read whole windows: >= 0.80 x bound", Format("%.3f", f.read.ratio), f.read.ratio >= 0.80},
        f.read.seconds > 0);
  const double echoLimit = 1300 + 2 * f.rawUdpMicros.p50;
  judge({Format("echo p50 <= 1300 us + 2 x raw UDP p50 = %.1f us", echoLimit), Format("%.1f us", f.echoMicros.p50),
         f.echoMicros.samples > 0 && f.echoMicros.p50 <= echoLimit},
        f.echoMicros.samples > 0);
  judge({"open p50 <= 52 ms", Format("%.2f ms", f.openMillis.p50), f.openMillis.samples > 0 && f.openMillis.p50 <= 52},
        f.openMillis.samples > 0);
  const double loadUnload = f.scale.loadSeconds + f.scale.unloadSeconds;
  judge({"256 ports: load + unload < 2 s", Format("%.3f s", loadUnload), f.scale.loadSeconds > 0 && loadUnload < 2},
        f.scale.ports > 0);
  judge({"256 ports: peak RSS < 64 MiB", Format("%.1f MiB", f.scale.peakRssMiB),
         f.scale.peakRssMiB > 0 && f.scale.peakRssMiB < 64},
        f.scale.ports > 0);
  return targets;
}

void PrintTable(std::ostream& out, const Figures& f) {
  out << "tessacom bench" << (f.quick ? " --quick" : "") << ": live clock at speed 1, "
      << Format("load average %.2f at the start\n\n", f.loadAverage);
  if (!f.interrupted.empty()) {
    out << "PARTIAL: " << f.interrupted
        << (f.cutShort.empty() ? " after \"" + f.lastPhase + "\""
                               : " during \"" + f.cutShort + "\", whose figures are left out (its stretch was cut short)")
        << "; the figures of the phases not run show as 0 and their targets are not judged\n\n";
  }
  out << "round trips without the driver, between the driver's address and the server's:\n"
      << "  raw UDP datagram echoed        " << Spread(f.rawUdpMicros, "us") << "\n"
      << "  data packet and its ACK        " << Spread(f.ackMicros, "us") << "\n\n";
  out << "throughput                       bytes/s  packets/s payload    bound/s  ratio CPU s/MiB host s/MiB\n";
  for (const Throughput& row : f.writes) out << Row(row);
  out << Row(f.readAsPrograms) << Row(f.read);
  out << Format("  read: %.1f bytes per receive acknowledgement as programs read, %.1f whole windows\n",
                f.readAsPrograms.bytesPerReceiveAck, f.read.bytesPerReceiveAck);
  out << "  bounds: writes min(128,000, ports x 128 B / (1 ms + ACK p50)); read 1023 B / (800 us + ACK p50)\n\n";
  out << "echo, 1 byte out and back      " << Spread(f.echoMicros, "us") << "\n";
  out << "open                           " << Spread(f.openMillis, "ms") << "\n";
  out << "close                          " << Spread(f.closeMillis, "ms") << "\n\n";
  PrintFlood(out, f.flood);
  const Scale& s = f.scale;
  out << "scale, " << s.ports << " ports on " << s.ports << " servers, " << s.bytesPerPort
      << " bytes written on each:\n"
      << Format("  load %.3f s, open %.3f s, ", s.loadSeconds, s.openSeconds)
      << Format("move %.3f s, close %.3f s, unload %.3f s\n", s.moveSeconds, s.closeSeconds,
                s.unloadSeconds)
      << Format("  peak RSS %.1f MiB", s.peakRssMiB)
      << (s.rssPeakOfPhase ? " (of this phase)" : " (of the whole process)")
      << ", peak threads " << s.peakThreads << "\n\ntargets:\n";
  for (const Target& t : JudgeTargets(f)) {
    out << "  " << (!t.judged ? "-      " : t.met ? "met    " : "MISSED ") << t.what << ": "
        << (t.judged ? t.measured : "not measured") << "\n";
  }
  for (const std::string& problem : f.problems) out << "problem: " << problem << "\n";
}

void WriteJson(std::ostream& out, const Figures& f) {
  out << "{\n  \"quick\": " << (f.quick ? "true" : "false") << ",\n  \"partial\": "
      << (f.interrupted.empty() ? "false" : "true") << ",\n  \"last_phase\": " << JsonString(f.lastPhase)
      << ",\n  \"cut_short\": " << JsonString(f.cutShort)
      << ",\n  \"load_average\": " << f.loadAverage << ",\n";
  JsonSpread(out, "raw_udp_round_trip_us", f.rawUdpMicros);
  JsonSpread(out, "ack_round_trip_us", f.ackMicros);
  out << "  \"writes\": [\n";
  for (size_t i = 0; i < f.writes.size(); i++) JsonThroughput(out, f.writes[i], i + 1 == f.writes.size());
  out << "  ],\n  \"read_as_programs_read\":\n";
  JsonThroughput(out, f.readAsPrograms, false);
  out << "  \"read\":\n";
  JsonThroughput(out, f.read, false);
  JsonSpread(out, "echo_us", f.echoMicros);
  JsonSpread(out, "open_ms", f.openMillis);
  JsonSpread(out, "close_ms", f.closeMillis);
  JsonFlood(out, f.flood);
  const Scale& s = f.scale;
  out << "  \"scale\": {\"ports\": " << s.ports << ", \"bytes_per_port\": " << s.bytesPerPort
      << ", \"load_s\": " << s.loadSeconds << ", \"open_s\": " << s.openSeconds
      << ", \"move_s\": " << s.moveSeconds << ", \"close_s\": " << s.closeSeconds
      << ", \"unload_s\": " << s.unloadSeconds << ", \"peak_rss_mib\": " << s.peakRssMiB
      << ", \"rss_peak_of_phase\": " << (s.rssPeakOfPhase ? "true" : "false")
      << ", \"peak_threads\": " << s.peakThreads << ", \"moved\": " << (s.moved ? "true" : "false")
      << "},\n  \"targets\": [\n";
  const std::vector<Target> targets = JudgeTargets(f);
  for (size_t i = 0; i < targets.size(); i++) {
    out << "    {\"what\": " << JsonString(targets[i].what) << ", \"measured\": "
        << JsonString(targets[i].measured) << ", \"met\": " << (targets[i].met ? "true" : "false")
        << ", \"judged\": " << (targets[i].judged ? "true" : "false")
        << "}" << (i + 1 == targets.size() ? "\n" : ",\n");
  }
  out << "  ],\n  \"problems\": [";
  for (size_t i = 0; i < f.problems.size(); i++) out << (i ? ", " : "") << JsonString(f.problems[i]);
  out << "]\n}\n";
}

}  // namespace tessacom::bench
