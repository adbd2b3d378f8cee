// The request side of `tessacom shell`: the open ports, the requests in flight, and the answer
// lines. Commands run on the reader's thread (passive level, as an application's); each
// asynchronous request has a waiter thread that writes its `done` line when it completes. Every
// line goes out whole through one LineWriter, so a `done` line never splits an answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/io/client.h"
#include "shell/shell_command.h"

namespace tessacom::shell {

// At most this many asynchronous requests are in flight at once.
constexpr size_t kMaxInFlight = 64;
// The answers of this many finished asynchronous requests are kept for `await` and `cancel`.
constexpr size_t kKeptAnswers = 256;

class LineWriter {
 public:
  using Sink = std::function<void(std::string_view line)>;  // one line, without its end
  explicit LineWriter(Sink sink) : sink_(std::move(sink)) {}
  void Write(std::string_view line);

 private:
  std::mutex lock_;
  Sink sink_;
};

// What the end of a session did.
struct FinishReport {
  size_t cancelled = 0;                 // requests still in flight that were cancelled
  size_t closed = 0;                    // handles closed
  std::vector<std::string> unfinished;  // requests the driver never completed
};

class Session {
 public:
  // Writes the link's status where people read it (the `status` command); none: `status` is
  // refused.
  using StatusReporter = std::function<void()>;
  // Tells people why an open failed, beside its answer: the name as given, the status, and the
  // time the open took on the driver's clock, in seconds.
  using OpenFailureReporter = std::function<void(const std::string& name, NTSTATUS status, double seconds)>;

  // `clockSpeed`: the host clock's speed factor; sleep and await count its milliseconds.
  explicit Session(LineWriter& out, double clockSpeed = 1.0, StatusReporter status = nullptr,
                   OpenFailureReporter openFailed = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs one command and writes its one answer line; false once the command was quit.
  bool Run(const Command& command);
  // Lets go of the reader's thread (a stop of the program): the synchronous request it waits
  // for is cancelled, a sleep or an await returns at once, and no further command runs. Any
  // thread; the reader then ends the session with Finish.
  void Interrupt();
  bool Interrupted();
  // Ends the session: cancels the requests in flight and waits up to `limit` for them, closes
  // every handle (its cleanup ends what the driver still holds) and waits again.
  FinishReport Finish(std::chrono::milliseconds limit);

 private:
  struct Port;
  struct InFlight;

  Port* PortFor(const Command& command);
  void Open(const Command& command);
  void Close(const Command& command);
  void Request(const Command& command);
  void StartAsync(const Command& command, Port& port);
  void Cancel(uint32_t id);
  void Await(uint32_t id, uint32_t milliseconds);
  void Report(InFlight& request);
  void Reap();
  void WaitAll(std::chrono::steady_clock::time_point deadline);
  std::chrono::nanoseconds RealTime(uint32_t milliseconds) const;
  void Error(const std::string& reason);

  LineWriter& out_;
  double clockSpeed_;
  StatusReporter status_;
  OpenFailureReporter openFailed_;
  std::vector<std::unique_ptr<Port>> ports_;
  Port* current_ = nullptr;
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::unique_ptr<InFlight>> inFlight_;
  std::map<uint32_t, std::string> answers_;  // finished requests: "STATUS INFO [HEX]"
  std::deque<uint32_t> answerOrder_;         // oldest first, at most kKeptAnswers
  std::mutex lock_;                          // guards InFlight::finished and answer, and:
  host::io::AsyncRequest* waitedFor_ = nullptr;  // the synchronous request in progress
  bool interrupted_ = false;
  std::condition_variable finished_;         // also notified by Interrupt
};

// Reads commands from `in` until quit, the end of input or an interruption, answering each
// malformed or too long line with `error REASON` and running the others on the session.
void RunCommands(std::istream& in, Session& session, LineWriter& out);

// The grammar in one line, the answer to `help`.
std::string HelpLine();

}  // namespace tessacom::shell
