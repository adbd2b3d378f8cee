// The bench's progress line: the phase running and how far its measured stretch has got,
// rewritten in place on a terminal, one line per phase otherwise.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

namespace tessacom::bench {

class Progress {
 public:
  Progress(std::ostream& out, bool terminal, int phases);
  ~Progress();
  void Phase(const std::string& name);
  // Sleeps `seconds`, showing the time passed every tenth of a second; ends early at a stop
  // (stop_signals.h), so that a measured stretch is cut short.
  void Wait(double seconds);
  // Shows a count of a phase's steps done.
  void Step(int done, int total);
  void Finish();

 private:
  void Show(const std::string& detail);

  std::ostream& out_;
  bool terminal_;
  int phases_;
  int phase_ = 0;
  std::string name_;
  std::chrono::steady_clock::time_point phaseStart_;
  bool open_ = false;  // a line is shown and not ended
};

}  // namespace tessacom::bench
