#include "bench/bench_progress.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <thread>

#include "stop_signals.h"

namespace tessacom::bench {

Progress::Progress(std::ostream& out, bool terminal, int phases)
    : out_(out), terminal_(terminal), phases_(phases) {}

Progress::~Progress() { Finish(); }

void Progress::Phase(const std::string& name) {
  if (open_ && terminal_) out_ << "\n";
  name_ = name;
  phase_++;
  phaseStart_ = std::chrono::steady_clock::now();
  open_ = false;
  Show("");
  if (!terminal_) out_ << std::endl;
}

void Progress::Show(const std::string& detail) {
  if (!terminal_ && open_) return;
  char head[32];
  std::snprintf(head, sizeof head, "bench [%d/%d] ", phase_, phases_);
  out_ << (terminal_ ? "\r\033[K" : "") << head << name_ << (detail.empty() ? "" : "  ") << detail
       << std::flush;
  open_ = true;
}

void Progress::Wait(double seconds) {
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(seconds));
  for (auto now = start; now < end && !StopRequested(); now = std::chrono::steady_clock::now()) {
    if (terminal_) {
      char detail[48];
      std::snprintf(detail, sizeof detail, "%.1f / %.1f s",
                    std::chrono::duration<double>(now - start).count(), seconds);
      Show(detail);
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(100), end - now));
  }
}

void Progress::Step(int done, int total) {
  if (terminal_) Show(std::to_string(done) + " / " + std::to_string(total));
}

void Progress::Finish() {
  if (open_ && terminal_) out_ << "\r\033[K" << std::flush;
  open_ = false;
}

}  // namespace tessacom::bench
