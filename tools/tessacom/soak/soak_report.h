// What the soak prints: its plan, the progress line, and the summary at the end (per port, the
// link's faults and the remotes' events, the errors).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "soak/soak_port.h"
#include "soak/soak_remote.h"

namespace tessacom {

void ShowPlan(int ports, int servers, uint64_t bytes, const SoakFaults& faults, std::ostream& out);
void ShowProgress(const std::vector<std::unique_ptr<SoakPort>>& ports, uint64_t bytes,
                  SoakClock::duration elapsed, bool terminal, std::ostream& out);
// The summary; returns the errors found (stalls among them).
size_t Report(const std::vector<std::unique_ptr<SoakPort>>& ports,
              const std::vector<std::unique_ptr<SoakRemote>>& remotes, const SoakFaults& faults,
              std::ostream& out);

}  // namespace tessacom
