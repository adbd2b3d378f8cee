// One session on a bridged COM port: from a program's first open of the terminal to the last
// close of it (or to the bridge's stop). The session opens the COM port and discards what its
// receive ring holds, keeps a read posted on it (the reader thread), writes what the program
// writes (the writer thread), turns the program's terminal settings into the port's and its
// flushes into purges, and at the end writes out what the program wrote before its close,
// cancels what is in flight and closes the port.
//
// Back-pressure: the bridge holds at most kQueueLimit bytes of the program's output, counting
// the write in flight on the port, and does not read the master beyond that; the program's
// writes then wait in the terminal and in write() at the pace the port takes them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "comm.h"
#include "pseudo_terminal.h"
#include "pty_bridge.h"
#include "terminal_holders.h"
#include "wake_event.h"

namespace ptybridge {

using Note = std::function<void(const std::string&)>;

// The read timeouts of a bridged port: a read returns at once with what has arrived, or waits
// for the first byte, but not longer than this (so that an idle reader still comes round).
constexpr comm::DWORD kReadWaitMs = 200;
// The program's output the bridge holds, the write in flight included.
constexpr size_t kQueueLimit = 4096;

class PortSession {
 public:
  PortSession(std::string comName, PseudoTerminal& terminal, const TerminalHolders& holders, int stopFd,
              Note note);
  ~PortSession();  // stops the transfers and closes the port
  PortSession(const PortSession&) = delete;
  PortSession& operator=(const PortSession&) = delete;

  // Opens the port; false when it does not open, with Failure() telling why (in the words of
  // `explain` when the driver refused it with STATUS_FILES_OPEN).
  bool Open(const PtyBridge::ExplainRefusal& explain = {});
  const std::string& Failure() const { return failure_; }
  // Carries bytes, settings and flushes until the program's last close or the bridge's stop.
  void Run();

 private:
  void NoteOnce(const std::string& text);
  bool Over() const;
  void CheckSettings();
  size_t Room();
  // Reads the master while there is room (or, with `all`, until it is empty).
  void TakeInput(size_t room, bool all);
  void Take(PseudoTerminal::Input& input);
  void PurgeReceived();
  // Waits until the reader has read out the ring for `flush`; false when the bridge stops.
  bool AwaitReadOut(uint64_t flush);
  void PurgeTransmitted();
  void ReaderLoop();
  void Deliver(const std::vector<uint8_t>& bytes, size_t count, uint64_t flushes);
  // Takes what the port's receive ring holds with a read that returns at once; drops it.
  void DiscardReceived();
  void WriterLoop();
  // Waits for an overlapped request, cancellable by Stop; the call's result.
  comm::BOOL Await(comm::Overlapped& request, comm::Overlapped*& slot, comm::DWORD& done);
  bool Stopping();
  void DrainWrites();
  void Stop();

  std::string name_;
  PseudoTerminal& terminal_;
  const TerminalHolders& holders_;
  uint32_t session_;  // the holders' first opens when it began
  int stopFd_;
  WakeEvent room_;  // signalled when the writer has made room
  Note note_;
  std::string failure_;
  std::set<std::string> noted_;
  comm::Port port_;
  comm::DCB applied_{};
  std::atomic<uint64_t> inputFlushes_{1};  // read-outs asked for: the start's, the program's TCIFLUSHes

  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::vector<uint8_t> queue_;  // the program's output not yet on the port
  size_t inFlight_ = 0;         // bytes of the write on the port
  uint64_t readOut_ = 0;  // read-outs the reader has done
  bool readerGone_ = false;
  bool stopping_ = false;
  comm::Overlapped* readInFlight_ = nullptr;
  comm::Overlapped* writeInFlight_ = nullptr;

  std::thread reader_;
  std::thread writer_;
};

}  // namespace ptybridge
