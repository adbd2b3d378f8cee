// A program's session on a bridged COM port.
#include "port_session.h"

#include <poll.h>

#include <chrono>

#include "termios_translation.h"

namespace ptybridge {

namespace {

constexpr size_t kReadSize = 4096;
constexpr size_t kQueueLimit = 64 * 1024;
// The longest pause between two looks at the program's settings.
constexpr int kSettingsCheckMs = 20;
// What the program wrote before its close may take this long to reach the port.
constexpr auto kDrainLimit = std::chrono::seconds(2);
// Reads of the master per pass, so that one busy program cannot hold the loop.
constexpr int kReadsPerPass = 16;

std::string Why() { return comm::ErrorName(comm::GetLastError()); }

}  // namespace

PortSession::PortSession(std::string comName, PseudoTerminal& terminal, int stopFd, Note note)
    : name_(std::move(comName)), terminal_(terminal), stopFd_(stopFd), note_(std::move(note)) {}

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

bool PortSession::Open() {
  port_ = comm::OpenPort(name_);
  if (!port_.IsOpen()) {
    NoteOnce("the port did not open (" + Why() + "); the program reads end of file and its "
             "writes fail");
    return false;
  }
  note_(name_ + ": opened for " + terminal_.Path());
  if (!comm::GetCommState(port_, applied_)) NoteOnce("its settings cannot be read (" + Why() + ")");
  const comm::COMMTIMEOUTS timeouts{comm::MAXDWORD, comm::MAXDWORD, kReadWaitMs, 0, 0};
  if (!comm::SetCommTimeouts(port_, timeouts)) NoteOnce("read timeouts not taken (" + Why() + ")");
  CheckSettings();
  reader_ = std::thread([this] { ReaderLoop(); });
  writer_ = std::thread([this] { WriterLoop(); });
  return true;
}

void PortSession::CheckSettings() {
  TerminalMode mode;
  if (!terminal_.Mode(mode)) return;
  const comm::DCB wanted = PortStateFor(mode, applied_);
  if (SameSettings(wanted, applied_)) return;
  if (!comm::SetCommState(port_, wanted)) NoteOnce("settings not taken (" + Why() + ")");
  applied_ = wanted;  // a refusal is not asked again until the program changes something
}

bool PortSession::QueueHasRoom() {
  std::lock_guard lock(mutex_);
  return queued_ < kQueueLimit;
}

bool PortSession::TakeInput() {
  for (int i = 0; i < kReadsPerPass; ++i) {
    PseudoTerminal::Input input = terminal_.Read();
    if (input.settingsChanged) CheckSettings();
    if (input.closed) return false;
    if (input.bytes.empty() && !input.settingsChanged) return true;
    if (input.bytes.empty()) continue;
    std::lock_guard lock(mutex_);
    queued_ += input.bytes.size();
    queue_.push_back(std::move(input.bytes));
    changed_.notify_all();
  }
  return true;
}

void PortSession::Run() {
  for (;;) {
    const short data = QueueHasRoom() ? POLLIN : 0;
    pollfd fds[2] = {{terminal_.Master(), static_cast<short>(POLLPRI | data), 0}, {stopFd_, POLLIN, 0}};
    poll(fds, 2, kSettingsCheckMs);
    if (fds[1].revents) return;
    if ((fds[0].revents & (POLLIN | POLLPRI | POLLHUP)) && !TakeInput()) break;
    CheckSettings();
  }
  DrainWrites();
}

void PortSession::DrainWrites() {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, kDrainLimit, [this] { return queued_ == 0; })) {
    NoteOnce(std::to_string(queued_) + " bytes the program wrote did not reach the port");
  }
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

void PortSession::ReaderLoop() {
  std::vector<uint8_t> buffer(kReadSize);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    comm::Overlapped read;
    comm::DWORD got = 0;
    comm::BOOL ok = comm::ReadFile(port_, buffer.data(), kReadSize, &got, &read);
    if (!ok && comm::GetLastError() == comm::ERROR_IO_PENDING) ok = Await(read, readInFlight_, got);
    if (!ok && comm::GetLastError() == comm::ERROR_OPERATION_ABORTED) continue;  // by a purge, or Stop
    if (!ok) {
      NoteOnce("reads fail (" + Why() + "); nothing more comes from the port");
      return;
    }
    for (size_t offset = 0; offset < got;) {
      const size_t n = terminal_.Write(buffer.data() + offset, got - offset);
      offset += n;
      if (n != 0) continue;
      pollfd out{terminal_.Master(), POLLOUT, 0};
      poll(&out, 1, kSettingsCheckMs);  // the program is not reading: wait for room
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
  }
}

void PortSession::WriterLoop() {
  for (;;) {
    std::vector<uint8_t> chunk;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      chunk = std::move(queue_.front());
      queue_.pop_front();
    }
    comm::Overlapped write;
    comm::DWORD done = 0;
    comm::BOOL ok = comm::WriteFile(port_, chunk.data(), static_cast<comm::DWORD>(chunk.size()), &done, &write);
    if (!ok && comm::GetLastError() == comm::ERROR_IO_PENDING) ok = Await(write, writeInFlight_, done);
    if (!ok && comm::GetLastError() != comm::ERROR_OPERATION_ABORTED) NoteOnce("writes fail (" + Why() + ")");
    std::lock_guard lock(mutex_);
    queued_ -= chunk.size();
    changed_.notify_all();
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
