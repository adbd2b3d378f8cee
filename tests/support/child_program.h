// Test support: a program run as a person runs it, in a child process: its standard input a
// pipe the test writes, its standard output and error one pipe the test reads, signals sent
// to it. Every wait is bounded in real time; a child still running at the end is killed.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

class ChildProgram {
 public:
  // Starts `argv[0]` (a path) with the rest as its arguments, SIGINT and SIGTERM at their
  // default; Started() says whether it did.
  explicit ChildProgram(const std::vector<std::string>& argv);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  void Send(const std::string& text) { [[maybe_unused]] auto n = write(input_, text.data(), text.size()); }
  void Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }
  // Whether `text` came in its output within `limit`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Waits up to `limit` for its end: its exit status, or -1 when a signal ended it or it did
  // not end in time (it is then killed).
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Its output so far.
  const std::string& Output() const { return output_; }

 private:
  // Reads what the output pipe holds, waiting up to `limit` for the first bytes: the count
  // read, 0 at its end, -1 when nothing came.
  ssize_t ReadOutput(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
};

}  // namespace testsupport
