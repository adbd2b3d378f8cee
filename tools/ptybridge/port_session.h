// One program's use of a bridged COM port: from the program's open of the pseudo-terminal to
// its last close (or to the bridge's stop). The session opens the COM port, keeps a read
// posted on it (the reader thread), writes what the program writes (the writer thread, in the
// program's own chunks), turns the program's terminal settings into the port's, and at the end
// cancels what is in flight and closes the port.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "comm.h"
#include "pseudo_terminal.h"

namespace ptybridge {

using Note = std::function<void(const std::string&)>;

// The read timeouts of a bridged port: a read returns at once with what has arrived, or waits
// for the first byte, but not longer than this (so that an idle reader still comes round).
constexpr comm::DWORD kReadWaitMs = 200;

class PortSession {
 public:
  PortSession(std::string comName, PseudoTerminal& terminal, int stopFd, Note note);
  ~PortSession();  // stops the transfers and closes the port
  PortSession(const PortSession&) = delete;
  PortSession& operator=(const PortSession&) = delete;

  // Opens the port; false (noted with the reason) when it does not open.
  bool Open();
  // Carries bytes and settings until the program closes the terminal side or stop is asked.
  void Run();

 private:
  void NoteOnce(const std::string& text);
  void CheckSettings();
  // One pass over what the master holds; false once the program has closed.
  bool TakeInput();
  void ReaderLoop();
  void WriterLoop();
  // Waits for an overlapped request, cancellable by Stop; the call's result.
  comm::BOOL Await(comm::Overlapped& request, comm::Overlapped*& slot, comm::DWORD& done);
  bool QueueHasRoom();
  void DrainWrites();
  void Stop();

  std::string name_;
  PseudoTerminal& terminal_;
  int stopFd_;
  Note note_;
  std::set<std::string> noted_;
  comm::Port port_;
  comm::DCB applied_{};

  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> queue_;  // the program's writes not yet on the port
  size_t queued_ = 0;                       // their bytes, with the one being written
  bool stopping_ = false;
  comm::Overlapped* readInFlight_ = nullptr;
  comm::Overlapped* writeInFlight_ = nullptr;

  std::thread reader_;
  std::thread writer_;
};

}  // namespace ptybridge
