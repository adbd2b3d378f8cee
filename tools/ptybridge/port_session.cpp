// A session on a bridged COM port.
#include "port_session.h"

#include <poll.h>

#include <chrono>

#include "host/session/executive.h"
#include "termios_translation.h"

namespace ptybridge {

namespace {

constexpr size_t kReadSize = 4096;
// The longest pause between two looks at the program's settings.
constexpr int kSettingsCheckMs = 20;
// Reads of the master per pass, so that one busy program cannot hold the loop.
constexpr int kReadsPerPass = 16;
// At most this many reads take what the program left in the terminal (it holds far less).
constexpr int kReadsOfTheRest = 64;
// What the program wrote before its close may take this long to reach the port, beyond the
// time its bytes take on the line.
constexpr auto kDrainMargin = std::chrono::seconds(2);

const comm::COMMTIMEOUTS kForReads{comm::MAXDWORD, comm::MAXDWORD, kReadWaitMs, 0, 0};
const comm::COMMTIMEOUTS kAtOnce{comm::MAXDWORD, 0, 0, 0, 0};

std::string Why() { return comm::ErrorName(comm::GetLastError()); }

// What an open's failure means, for people: `why` explains a refusal with ERROR_OPEN_FILES,
// which the driver gives for several causes.
std::string OpenFailure(comm::DWORD error, const std::string& why) {
  const std::string name = comm::ErrorName(error);
  if (error == comm::ERROR_OPEN_FILES && !why.empty()) return name + ": " + why;
  if (error == comm::ERROR_ACCESS_DENIED) return name + ": another program of the host holds the port";
  return name;
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

}  // namespace

PortSession::PortSession(std::string comName, PseudoTerminal& terminal, const TerminalHolders& holders, int stopFd,
                         Note note)
    : name_(std::move(comName)),
      terminal_(terminal),
      holders_(holders),
      session_(holders.Now().firstOpens),
      stopFd_(stopFd),
      note_(std::move(note)) {
  // After the state the session is counted from: a last close after it, whose hold this may
  // undo, ends the session, and what the closing program wrote is taken then.
  terminal_.HoldOutput(false);
}

PortSession::~PortSession() {
  Stop();
  if (port_.IsOpen()) {
    comm::ClosePort(port_);
    note_(name_ + ": closed");
  }
}

void PortSession::NoteOnce(const std::string& text) {
  if (noted_.insert(text).second) note_(name_ + ": " + text);
}

bool PortSession::Open(const PtyBridge::ExplainRefusal& explain) {
  const int64_t began = host::session::SystemTime();
  port_ = comm::OpenPort(name_);
  if (!port_.IsOpen()) {
    const comm::DWORD error = comm::GetLastError();
    const double seconds = static_cast<double>(host::session::SystemTime() - began) / 1e7;
    failure_ = OpenFailure(error, error == comm::ERROR_OPEN_FILES && explain ? explain(name_, seconds) : "");
    return false;
  }
  note_(name_ + ": opened for " + terminal_.Path());
  if (!comm::GetCommState(port_, applied_)) NoteOnce("its settings cannot be read (" + Why() + ")");
  CheckSettings();
  reader_ = std::thread([this] { ReaderLoop(); });
  writer_ = std::thread([this] { WriterLoop(); });
  return true;
}

bool PortSession::Over() const {
  const TerminalHolders::State now = holders_.Now();
  return now.programs == 0 || now.firstOpens != session_;
}

void PortSession::CheckSettings() {
  TerminalMode mode;
  if (!terminal_.Mode(mode)) return;
  const comm::DCB wanted = PortStateFor(mode, applied_);
  if (SameSettings(wanted, applied_)) return;
  if (!comm::SetCommState(port_, wanted)) NoteOnce("settings not taken (" + Why() + ")");
  applied_ = wanted;  // a refusal is not asked again until the program changes something
}

size_t PortSession::Room() {
  std::lock_guard lock(mutex_);
  const size_t held = queue_.size() + inFlight_;
  return held < kQueueLimit ? kQueueLimit - held : 0;
}

void PortSession::Run() {
  if (!AwaitReadOut(1)) return;  // what the ring held before the program's bytes go out
  while (!Over()) {
    const size_t room = Room();
    pollfd fds[4] = {{terminal_.Master(), static_cast<short>(POLLPRI | (room ? POLLIN : 0)), 0},
                     {stopFd_, POLLIN, 0},
                     {holders_.Changed().Fd(), POLLIN, 0},
                     {room_.Fd(), POLLIN, 0}};
    poll(fds, 4, kSettingsCheckMs);
    if (fds[1].revents) return;
    if (fds[2].revents) holders_.Changed().Take();
    if (fds[3].revents) room_.Take();
    if (fds[0].revents & (POLLIN | POLLPRI)) TakeInput(room, false);
    CheckSettings();
  }
  TakeInput(0, true);
  terminal_.HoldOutput(false);  // the next program's writes go into the terminal again
  DrainWrites();
}

void PortSession::TakeInput(size_t room, bool all) {
  for (int i = 0; i < (all ? kReadsOfTheRest : kReadsPerPass); ++i) {
    PseudoTerminal::Input input = terminal_.Read(all ? kTerminalReadSize : room);
    if (input.Empty()) return;
    room -= std::min(room, input.bytes.size());
    Take(input);
  }
}

void PortSession::Take(PseudoTerminal::Input& input) {
  if (input.settingsChanged) CheckSettings();
  if (input.inputFlushed && !Over()) PurgeReceived();  // after the last close it is the holders' own
  if (input.outputFlushed) PurgeTransmitted();
  if (input.bytes.empty()) return;
  std::lock_guard lock(mutex_);
  queue_.insert(queue_.end(), input.bytes.begin(), input.bytes.end());
  changed_.notify_all();
}

// Counted before the purge, so that the reader, whose read the purge aborts, finds it; the
// program's later bytes go out once the ring is read out, so that no answer to them is lost.
void PortSession::PurgeReceived() {
  const uint64_t flush = ++inputFlushes_;
  if (!comm::PurgeComm(port_, comm::PURGE_RXABORT | comm::PURGE_RXCLEAR)) NoteOnce("purge refused (" + Why() + ")");
  AwaitReadOut(flush);
}

bool PortSession::AwaitReadOut(uint64_t flush) {
  std::unique_lock lock(mutex_);
  while (readOut_ < flush && !readerGone_) {
    if (Readable(stopFd_)) return false;
    changed_.wait_for(lock, std::chrono::milliseconds(kSettingsCheckMs));
  }
  return true;
}

void PortSession::PurgeTransmitted() {
  {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }
  if (!comm::PurgeComm(port_, comm::PURGE_TXABORT | comm::PURGE_TXCLEAR)) NoteOnce("purge refused (" + Why() + ")");
}

void PortSession::DrainWrites() {
  std::unique_lock lock(mutex_);
  const size_t left = queue_.size() + inFlight_;
  const auto onTheLine = std::chrono::milliseconds(left * 10000 / std::max<comm::DWORD>(applied_.BaudRate, 50));
  const auto deadline = std::chrono::steady_clock::now() + kDrainMargin + onTheLine;
  while (!queue_.empty() || inFlight_ != 0) {
    if (Readable(stopFd_) || std::chrono::steady_clock::now() >= deadline) {
      NoteOnce(std::to_string(queue_.size() + inFlight_) + " bytes the program wrote did not reach the port");
      return;
    }
    changed_.wait_for(lock, std::chrono::milliseconds(kSettingsCheckMs));
  }
}

bool PortSession::Stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

comm::BOOL PortSession::Await(comm::Overlapped& request, comm::Overlapped*& slot, comm::DWORD& done) {
  {
    std::lock_guard lock(mutex_);
    slot = &request;
    if (stopping_) request.request.Cancel();
  }
  const comm::BOOL ok = comm::GetOverlappedResult(port_, request, done, TRUE);
  std::lock_guard lock(mutex_);
  slot = nullptr;
  return ok;
}

void PortSession::DiscardReceived() {
  if (!comm::SetCommTimeouts(port_, kAtOnce)) NoteOnce("read timeouts not taken (" + Why() + ")");
  std::vector<uint8_t> buffer(kReadSize);
  comm::Overlapped read;
  comm::DWORD got = 0;
  if (!comm::ReadFile(port_, buffer.data(), kReadSize, &got, &read) && comm::GetLastError() == comm::ERROR_IO_PENDING) {
    Await(read, readInFlight_, got);
  }
  if (!comm::SetCommTimeouts(port_, kForReads)) NoteOnce("read timeouts not taken (" + Why() + ")");
}

// The ring is read out at the start (the first flush), and again after every flush of the
// program's input.
void PortSession::ReaderLoop() {
  std::vector<uint8_t> buffer(kReadSize);
  uint64_t handled = 0;
  while (!Stopping()) {
    const uint64_t flushes = inputFlushes_.load();
    if (flushes != handled) {
      DiscardReceived();
      handled = flushes;
      std::lock_guard lock(mutex_);
      readOut_ = handled;
      changed_.notify_all();
      continue;
    }
    comm::Overlapped read;
    comm::DWORD got = 0;
    comm::BOOL ok = comm::ReadFile(port_, buffer.data(), kReadSize, &got, &read);
    if (!ok && comm::GetLastError() == comm::ERROR_IO_PENDING) ok = Await(read, readInFlight_, got);
    if (!ok && comm::GetLastError() == comm::ERROR_OPERATION_ABORTED) continue;  // by a purge, or Stop
    if (!ok) {
      NoteOnce("reads fail (" + Why() + "); nothing more comes from the port");
      break;
    }
    Deliver(buffer, got, flushes);
  }
  std::lock_guard lock(mutex_);
  readerGone_ = true;
  changed_.notify_all();
}

// Bytes that were received before the program flushed its input are not for it, nor are those
// that come after its last close.
void PortSession::Deliver(const std::vector<uint8_t>& bytes, size_t count, uint64_t flushes) {
  for (size_t offset = 0; offset < count;) {
    if (inputFlushes_.load() != flushes || Over()) return;
    const size_t n = terminal_.Write(bytes.data() + offset, count - offset);
    offset += n;
    if (n != 0) continue;
    pollfd out{terminal_.Master(), POLLOUT, 0};
    poll(&out, 1, kSettingsCheckMs);  // the program is not reading: wait for room
    if (Stopping()) return;
  }
}

void PortSession::WriterLoop() {
  for (;;) {
    std::vector<uint8_t> chunk;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      chunk.swap(queue_);
      inFlight_ = chunk.size();
    }
    comm::Overlapped write;
    comm::DWORD done = 0;
    comm::BOOL ok = comm::WriteFile(port_, chunk.data(), static_cast<comm::DWORD>(chunk.size()), &done, &write);
    if (!ok && comm::GetLastError() == comm::ERROR_IO_PENDING) ok = Await(write, writeInFlight_, done);
    if (!ok && comm::GetLastError() != comm::ERROR_OPERATION_ABORTED) NoteOnce("writes fail (" + Why() + ")");
    {
      std::lock_guard lock(mutex_);
      inFlight_ = 0;
      changed_.notify_all();
    }
    room_.Signal();
  }
}

void PortSession::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (comm::Overlapped* inFlight : {readInFlight_, writeInFlight_}) {
      if (inFlight != nullptr) inFlight->request.Cancel();
    }
    changed_.notify_all();
  }
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

}  // namespace ptybridge
