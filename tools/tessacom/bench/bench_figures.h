// The figures one run of `tessacom bench` measures, and the limits they are compared with.
// Times are in the unit their name says; a figure that was not measured stays at 0.
#pragma once

#include <string>
#include <vector>

namespace tessacom::bench {

// The link's fixed pace: one data packet of at most 128 bytes per acknowledgement on a port,
// a 1 ms pause before every data packet and 800 us before every control packet in the one
// sender, and a receive ring that holds at most 1023 bytes.
constexpr double kDataPacketBytes = 128;
constexpr double kDataPauseSeconds = 0.001;
constexpr double kControlPauseSeconds = 0.0008;
constexpr double kRingBytes = 1023;
constexpr double kAllPortsBound = kDataPacketBytes / kDataPauseSeconds;  // 128,000 B/s

// CPU used over a measured stretch, in seconds per MiB moved.
struct Cost {
  double cpuPerMiB = 0;   // the whole process: host, driver, applications, emulators, pauses
  double hostPerMiB = 0;  // without the emulators' threads and the driver's busy-waits
};

struct Throughput {
  std::string label;  // "write 16 ports / 4 servers"
  int ports = 0;
  int servers = 0;
  double seconds = 0;  // the measured stretch
  double bytesPerSecond = 0;
  double packetsPerSecond = 0;  // data packets (write) or sequenced data packets (read)
  double meanPayload = 0;       // bytes per data packet
  double bound = 0;             // bytes per second the link's pace allows
  double ratio = 0;             // bytesPerSecond / bound
  Cost cost;
  bool intact = true;           // read: every byte came in order, none lost
  double bytesPerReceiveAck = 0;  // read: bytes each receive acknowledgement covered
};

struct Percentiles {
  int samples = 0;
  double p50 = 0;
  double p99 = 0;
  double max = 0;
};

struct Scale {
  int ports = 0;
  int bytesPerPort = 0;
  double loadSeconds = 0;
  double openSeconds = 0;
  double moveSeconds = 0;
  double closeSeconds = 0;
  double unloadSeconds = 0;
  double peakRssMiB = 0;
  bool rssPeakOfPhase = false;  // false: the process's peak (the counter could not be reset)
  int peakThreads = 0;
  bool moved = false;  // every port's bytes reached its server
};

// One stretch of echo round trips of one data packet on a port.
struct EchoUnderLoad {
  double seconds = 0;
  double bytesPerSecond = 0;  // of the round trips that brought their block back
  Percentiles micros;         // their times
  int failed = 0;             // round trips whose block did not come back within 10 s
};

// The good port's echo with and without another remote flooding the driver.
struct Flood {
  EchoUnderLoad quiet;
  EchoUnderLoad flooded;
  double floodPerSecond = 0;    // datagrams the flooding remote sent
  double takenPerSecond = 0;    // datagrams the transport took from its sockets meanwhile
  double transportDropped = 0;  // datagrams the transport dropped during the flood
  double fromFlooder = 0;       // of them, the flooding remote's
  double fromGoodRemote = 0;    // and the echoing remote's
  double kernelDropped = 0;     // datagrams Linux dropped on the transport's sockets
};

struct Figures {
  bool quick = false;
  double loadAverage = 0;    // one-minute load average when the run began
  Percentiles rawUdpMicros;  // datagram out and back between the two addresses, no driver
  Percentiles ackMicros;     // data packet to an emulator and its acknowledgement, no driver
  std::vector<Throughput> writes;
  Throughput readAsPrograms;  // reads of 4 KiB with a total timeout, one after another
  Throughput read;            // whole windows, taken with reads that return at once
  Percentiles echoMicros;  // one byte written and read back through the echo
  Percentiles openMillis;
  Percentiles closeMillis;
  Flood flood;
  Scale scale;
  std::vector<std::string> problems;  // what went wrong, for the report
  std::string lastPhase;    // the last phase whose figures were kept
  std::string cutShort;     // the phase a stop came during, whose figures were left out
  std::string interrupted;  // "interrupted" or "terminated" when a stop ended the run: partial
};

// Percentiles of a set of samples (nearest rank); empty samples give zeros.
Percentiles Summarise(std::vector<double> samples);

// The figures a run should have measured and did not (left at 0), by name.
std::vector<std::string> MissingFigures(const Figures& figures);

}  // namespace tessacom::bench
