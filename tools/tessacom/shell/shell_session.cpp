#include "shell/shell_session.h"

#include <algorithm>
#include <thread>

#include "host/session/executive.h"
#include "nt_names.h"

namespace tessacom::shell {
namespace {

// The caller's buffers of one request: they live as long as the request.
struct Transfer {
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  bool returnsBytes = false;  // the answer shows what the driver put in `output`
};

}  // namespace

struct Session::Port {
  std::string name;  // as it was opened
  host::io::File file;
};

struct Session::InFlight {
  uint32_t id = 0;
  std::string what;  // "read on COM3"
  Transfer transfer;
  host::io::AsyncRequest request;
  std::thread waiter;
  bool finished = false;  // under lock_: the done line is written and `answer` is final
  std::string answer;
};

namespace {

bool IsError(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

ULONG Size(const std::vector<uint8_t>& bytes) { return static_cast<ULONG>(bytes.size()); }

FILE_INFORMATION_CLASS Class(uint32_t number) {
  return static_cast<FILE_INFORMATION_CLASS>(static_cast<int32_t>(number));
}

// Sends the command's request on the file with buffers held by `transfer`.
host::io::AsyncRequest Start(host::io::File& file, const Command& command, Transfer& transfer) {
  transfer.input = command.input;
  bool output = command.verb == Verb::Read || command.verb == Verb::Ioctl || command.verb == Verb::Query;
  if (output) transfer.output.assign(command.length, 0);
  transfer.returnsBytes = output;
  uint8_t* out = transfer.output.data();
  switch (command.verb) {
    case Verb::Write: return file.WriteAsync(transfer.input.data(), Size(transfer.input));
    case Verb::Read: return file.ReadAsync(out, command.length);
    case Verb::Flush: return file.FlushAsync();
    case Verb::Ioctl:
      return file.DeviceControlAsync(command.code, transfer.input.data(), Size(transfer.input), out, command.length);
    case Verb::Query: return file.QueryInformationAsync(Class(command.code), out, command.length);
    default: return file.SetInformationAsync(Class(command.code), transfer.input.data(), Size(transfer.input));
  }
}

std::string Answer(const host::io::Result& result, const Transfer& transfer) {
  std::string text = StatusName(result.status) + " " + std::to_string(result.information);
  size_t returned = std::min<size_t>(result.information, transfer.output.size());
  if (transfer.returnsBytes && !IsError(result.status) && returned != 0) {
    text += " " + ToHex(transfer.output.data(), returned);
  }
  return text;
}

}  // namespace

void LineWriter::Write(std::string_view line) {
  std::lock_guard lock(lock_);
  sink_(line);
}

Session::Session(LineWriter& out, double clockSpeed, StatusReporter status, OpenFailureReporter openFailed)
    : out_(out), clockSpeed_(clockSpeed), status_(std::move(status)), openFailed_(std::move(openFailed)) {}

Session::~Session() {
  Finish(std::chrono::seconds(5));
  // Requests the driver never completed are waited for, as the client API waits for them.
  for (auto& [id, request] : inFlight_) request->waiter.join();
}

bool Session::Run(const Command& command) {
  Reap();
  switch (command.verb) {
    case Verb::Open: Open(command); break;
    case Verb::Close: Close(command); break;
    case Verb::Cancel: Cancel(command.id); break;
    case Verb::Await: Await(command.id, command.milliseconds.value_or(kDefaultAwaitMilliseconds)); break;
    case Verb::Sleep: {
      std::unique_lock lock(lock_);
      finished_.wait_for(lock, RealTime(command.milliseconds.value_or(0)), [this] { return interrupted_; });
      lock.unlock();
      out_.Write("ok");
      break;
    }
    case Verb::Status:
      if (!status_) {
        Error("no link status here");
        break;
      }
      status_();
      out_.Write("ok");
      break;
    case Verb::Help: out_.Write(HelpLine()); break;
    case Verb::Quit: out_.Write("ok"); return false;
    default: Request(command); break;
  }
  return true;
}

std::chrono::nanoseconds Session::RealTime(uint32_t milliseconds) const {
  return std::chrono::nanoseconds(static_cast<int64_t>(milliseconds * 1e6 / clockSpeed_));
}

void Session::Error(const std::string& reason) { out_.Write("error " + reason); }

Session::Port* Session::PortFor(const Command& command) {
  if (command.port.empty()) {
    if (current_ == nullptr) Error("no current port: open one first");
    return current_;
  }
  for (auto& port : ports_) {
    if (SameName(port->name, command.port)) return port.get();
  }
  Error(Quote(command.port) + " is not open");
  return nullptr;
}

void Session::Open(const Command& command) {
  for (auto& port : ports_) {
    if (SameName(port->name, command.name)) return Error(Quote(command.name) + " is already open");
  }
  const int64_t began = host::session::SystemTime();
  host::io::OpenResult opened = host::io::Open(command.name);
  if (opened) {
    ports_.push_back(std::make_unique<Port>(Port{command.name, std::move(opened.file)}));
    current_ = ports_.back().get();
  }
  out_.Write(StatusName(opened.status) + " 0");
  if (!opened && openFailed_) {
    openFailed_(command.name, opened.status, static_cast<double>(host::session::SystemTime() - began) / 1e7);
  }
}

// The driver's cleanup comes now and its close once no request holds the file any more
// (finished requests were let go when this command began).
void Session::Close(const Command& command) {
  Port* port = PortFor(command);
  if (port == nullptr) return;
  NTSTATUS status = port->file.Close();
  if (current_ == port) current_ = nullptr;
  std::erase_if(ports_, [&](const std::unique_ptr<Port>& entry) { return entry.get() == port; });
  out_.Write(StatusName(status) + " 0");
}

void Session::Request(const Command& command) {
  Port* port = PortFor(command);
  if (port == nullptr) return;
  if (command.async) return StartAsync(command, *port);
  Transfer transfer;
  host::io::AsyncRequest request = Start(port->file, command, transfer);
  {
    std::lock_guard lock(lock_);
    if (interrupted_) request.Cancel();
    waitedFor_ = &request;
  }
  host::io::Result result = request.Wait();
  {
    std::lock_guard lock(lock_);
    waitedFor_ = nullptr;
  }
  out_.Write(Answer(result, transfer));
}

void Session::Interrupt() {
  {
    std::lock_guard lock(lock_);
    interrupted_ = true;
    if (waitedFor_ != nullptr) waitedFor_->Cancel();
  }
  finished_.notify_all();
}

bool Session::Interrupted() {
  std::lock_guard lock(lock_);
  return interrupted_;
}

// The answer `pending ID` goes out before the waiter starts, so it always precedes `done ID`.
void Session::StartAsync(const Command& command, Port& port) {
  if (inFlight_.size() >= kMaxInFlight) {
    return Error("already " + std::to_string(kMaxInFlight) + " requests in flight");
  }
  auto request = std::make_unique<InFlight>();
  InFlight& started = *request;
  started.id = nextId_++;
  started.what = std::string(VerbName(command.verb)) + " on " + port.name;
  started.request = Start(port.file, command, started.transfer);
  out_.Write("pending " + std::to_string(started.id));
  inFlight_.emplace(started.id, std::move(request));
  started.waiter = std::thread([this, &started] { Report(started); });
}

// The waiter thread of one asynchronous request.
void Session::Report(InFlight& request) {
  std::string answer = Answer(request.request.Wait(), request.transfer);
  {
    // The done line and the final answer are one step to the reader: an await that follows
    // the done line finds the request finished, and one that finds it finished answers after it.
    std::lock_guard lock(lock_);
    out_.Write("done " + std::to_string(request.id) + " " + answer);
    request.answer = std::move(answer);
    request.finished = true;
  }
  finished_.notify_all();
}

// Lets go of finished requests, keeping their answers; a request let go releases its hold on
// its file, which may bring the driver's close. Reader's thread.
void Session::Reap() {
  std::vector<std::unique_ptr<InFlight>> finished;
  {
    std::lock_guard lock(lock_);
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
      if (!it->second->finished) {
        ++it;
        continue;
      }
      finished.push_back(std::move(it->second));
      it = inFlight_.erase(it);
    }
  }
  for (auto& request : finished) {
    request->waiter.join();
    answers_[request->id] = request->answer;
    answerOrder_.push_back(request->id);
    if (answerOrder_.size() > kKeptAnswers) {
      answers_.erase(answerOrder_.front());
      answerOrder_.pop_front();
    }
  }
}

void Session::Cancel(uint32_t id) {
  std::string prefix = "cancel " + std::to_string(id);
  auto request = inFlight_.find(id);
  if (request != inFlight_.end()) {
    out_.Write(prefix + (request->second->request.Cancel() ? " TRUE" : " FALSE"));
  } else if (answers_.count(id) != 0) {
    out_.Write(prefix + " FALSE");
  } else {
    Error("no request " + std::to_string(id));
  }
}

void Session::Await(uint32_t id, uint32_t milliseconds) {
  auto request = inFlight_.find(id);
  if (request == inFlight_.end()) {
    auto answer = answers_.find(id);
    if (answer == answers_.end()) return Error("no request " + std::to_string(id));
    return out_.Write(answer->second);
  }
  InFlight& awaited = *request->second;
  std::unique_lock lock(lock_);
  bool finished =
      finished_.wait_for(lock, RealTime(milliseconds), [&] { return awaited.finished || interrupted_; }) &&
      awaited.finished;
  std::string answer = finished ? awaited.answer : "pending " + std::to_string(id);
  lock.unlock();
  out_.Write(answer);
}

void Session::WaitAll(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(lock_);
  finished_.wait_until(lock, deadline, [&] {
    return std::all_of(inFlight_.begin(), inFlight_.end(), [](const auto& entry) { return entry.second->finished; });
  });
}

FinishReport Session::Finish(std::chrono::milliseconds limit) {
  FinishReport report;
  Reap();
  for (auto& [id, request] : inFlight_) {
    request->request.Cancel();
    report.cancelled++;
  }
  WaitAll(std::chrono::steady_clock::now() + limit);
  for (auto& port : ports_) {
    port->file.Close();
    report.closed++;
  }
  ports_.clear();
  current_ = nullptr;
  WaitAll(std::chrono::steady_clock::now() + limit);
  Reap();
  for (auto& [id, request] : inFlight_) {
    report.unfinished.push_back("request " + std::to_string(id) + " (" + request->what + ")");
  }
  return report;
}

void RunCommands(std::istream& in, Session& session, LineWriter& out) {
  std::string line;
  for (LineStatus status = ReadLine(in, line); status != LineStatus::End && !session.Interrupted();
       status = ReadLine(in, line)) {
    if (status == LineStatus::TooLong) {
      out.Write("error line longer than " + std::to_string(kMaxLine) + " characters");
      continue;
    }
    ParsedLine parsed = ParseLine(line);
    if (parsed.kind == ParsedLine::Kind::Malformed) out.Write("error " + parsed.reason);
    if (parsed.kind == ParsedLine::Kind::Command && !session.Run(parsed.command)) return;
  }
}

std::string HelpLine() {
  return "commands: open NAME | close | write HEX | read N | flush | ioctl CODE [in=HEX] [out=N] | "
         "query CLASS [out=N] | set CLASS [in=HEX] | cancel ID | await ID [MS] | sleep MS | status | help | "
         "quit; '&' before a request runs it asynchronously, '@NAME' before a port command runs it "
         "on that open port; `tessacom shell --help` tells more";
}

}  // namespace tessacom::shell
