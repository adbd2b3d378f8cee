// Scale: 256 ports, each on a server of its own, through their whole life: load, open, a few
// KiB written on every port at once, close, unload; each phase timed, with the peak resident
// memory and thread count of the process (the emulators' included).
#include <fstream>
#include <string>

#include "bench/bench_phases.h"

namespace tessacom::bench {

namespace {

constexpr int kPorts = 256;
constexpr int kOpeners = 32;
constexpr auto kMoveLimit = std::chrono::seconds(60);

// A field of /proc/self/status ("VmHWM", "Threads") as a number, 0 when absent.
double StatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::stod(line.substr(name.size() + 1));
  }
  return 0;
}

// Starts the peak resident size afresh from the present one; false where the kernel refuses.
bool ResetPeakResidentSize() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.close();
  return static_cast<bool>(clear);
}

class Stopwatch {
 public:
  double Lap() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return seconds;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Writes `bytes` on every port at once and waits for all; true when each server took them all.
bool MoveBytes(Rig& rig, int bytes, int* peakThreads) {
  std::vector<uint8_t> data(static_cast<size_t>(bytes));
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i);
  std::vector<host::io::AsyncRequest> writes;
  for (int port = 0; port < rig.Ports(); port++) {
    writes.push_back(rig.File(port).WriteAsync(data.data(), static_cast<ULONG>(bytes)));
  }
  *peakThreads = std::max(*peakThreads, static_cast<int>(StatusField("Threads")));
  const auto deadline = std::chrono::steady_clock::now() + kMoveLimit;
  bool all = true;
  for (host::io::AsyncRequest& write : writes) {
    const std::optional<host::io::Result> done = write.WaitFor(deadline - std::chrono::steady_clock::now());
    all = all && done && done->status == STATUS_SUCCESS && done->information == static_cast<ULONG_PTR>(bytes);
    if (!done) write.Cancel();
  }
  for (int port = 0; port < rig.Ports() && all; port++) {
    all = rig.ServerOf(port).Channel(rig.Channel(port)).written.size() == static_cast<size_t>(bytes);
  }
  return all;
}

}  // namespace

Scale MeasureScale(const Plan& plan, const Reference& reference, Progress& progress,
                   std::vector<std::string>& problems) {
  Scale figures;
  figures.ports = kPorts;
  figures.bytesPerPort = plan.scaleBytesPerPort;
  figures.rssPeakOfPhase = ResetPeakResidentSize();
  RigLayout layout;
  layout.ports = layout.servers = kPorts;
  Rig rig(plan.image, reference.addresses, layout);
  Stopwatch watch;
  const bool loaded = rig.Load();
  figures.loadSeconds = watch.Lap();
  progress.Step(1, 5);
  if (loaded && rig.OpenAll(kOpeners)) {
    figures.openSeconds = watch.Lap();
    progress.Step(2, 5);
    figures.peakThreads = static_cast<int>(StatusField("Threads"));
    figures.moved = MoveBytes(rig, plan.scaleBytesPerPort, &figures.peakThreads);
    figures.moveSeconds = watch.Lap();
    if (!figures.moved) problems.push_back("scale: not every port's bytes reached its server");
    progress.Step(3, 5);
    rig.CloseAll(kOpeners);
    figures.closeSeconds = watch.Lap();
    progress.Step(4, 5);
  }
  if (!rig.Problem().empty()) problems.push_back("scale: " + rig.Problem());
  watch.Lap();
  rig.Unload();
  figures.unloadSeconds = watch.Lap();
  figures.peakRssMiB = StatusField("VmHWM") / 1024.0;
  return figures;
}

}  // namespace tessacom::bench
