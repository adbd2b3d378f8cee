// Opens and closes of one port, one after the other, each timed from the application's call
// to its return (an open waits at least 50 ms for the remote's reply by design).
#include "bench/bench_phases.h"

namespace tessacom::bench {

Percentiles MeasureOpens(const Plan& plan, const Reference& reference, Percentiles* closes,
                         Progress& progress, std::vector<std::string>& problems) {
  Rig rig(plan.image, reference.addresses, RigLayout{});
  if (!rig.Load()) {
    problems.push_back("open and close: " + rig.Problem());
    return {};
  }
  std::vector<double> openMillis;
  std::vector<double> closeMillis;
  using Millis = std::chrono::duration<double, std::milli>;
  for (int i = 0; i < plan.openCloses; i++) {
    const auto start = std::chrono::steady_clock::now();
    host::io::OpenResult opened = host::io::Open(rig.ComName(0));
    const auto open = std::chrono::steady_clock::now();
    const NTSTATUS closed = opened ? opened.file.Close() : opened.status;
    const auto end = std::chrono::steady_clock::now();
    if (!opened || !NT_SUCCESS(closed)) {
      problems.push_back("open and close: round " + std::to_string(i) + " failed");
      break;
    }
    openMillis.push_back(Millis(open - start).count());
    closeMillis.push_back(Millis(end - open).count());
    if (i % 5 == 0) progress.Step(i, plan.openCloses);
  }
  *closes = Summarise(std::move(closeMillis));
  return Summarise(std::move(openMillis));
}

}  // namespace tessacom::bench
