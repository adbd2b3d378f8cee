// Echo latency: one byte written and read back through a remote whose line echoes, one round
// trip at a time. The echo comes back as unsequenced data, so no receive acknowledgement (and
// its control-packet pause in the sender) stands between one round trip and the next.
#include "bench/bench_phases.h"

namespace tessacom::bench {

namespace {

constexpr auto kReadLimit = std::chrono::seconds(1);
constexpr int kReadsPerByte = 4;  // a read ended by the data's announcement, then the byte

// Reads until the byte is in; false when it does not come.
bool ReadOneByte(host::io::File& file, uint8_t* byte) {
  for (int attempt = 0; attempt < kReadsPerByte; attempt++) {
    const std::optional<ULONG_PTR> read = ReadWithin(file, byte, 1, kReadLimit);
    if (!read) return false;
    if (*read == 1) return true;
  }
  return false;
}

}  // namespace

Percentiles MeasureEcho(const Plan& plan, const Reference& reference, Progress& progress,
                        std::vector<std::string>& problems) {
  RigLayout layout;
  layout.backend = devserver::BackendKind::Echo;
  layout.sequencedLine = false;
  Rig rig(plan.image, reference.addresses, layout);
  if (!rig.Load() || !rig.OpenAll(1)) {
    problems.push_back("echo: " + rig.Problem());
    return {};
  }
  std::vector<double> micros;
  for (int i = 0; i < plan.echoRoundTrips; i++) {
    const uint8_t out = static_cast<uint8_t>(i);
    uint8_t in = 0;
    const auto start = std::chrono::steady_clock::now();
    const host::io::Result written = rig.File(0).Write(&out, 1);
    if (written.status != STATUS_SUCCESS || !ReadOneByte(rig.File(0), &in) || in != out) {
      problems.push_back("echo: round trip " + std::to_string(i) + " did not bring its byte back");
      break;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (i % 50 == 0) progress.Step(i, plan.echoRoundTrips);
  }
  return Summarise(std::move(micros));
}

}  // namespace tessacom::bench
