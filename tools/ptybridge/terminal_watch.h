// The kernel's open and close notifications of the bridge's terminals, handed to each
// terminal's holders (terminal_holders.h) as they come.
//
// A pseudo-terminal keeps its exclusive flag after the last close, so a program that closes
// and opens again at once is refused until the holders have cleared it. The notification of
// a close is queued while the closing program is still in close(), before the kernel releases
// its descriptor. The watch therefore has one thread per processor the process may run on,
// each bound to its processor and all woken by every notification; at real-time priority
// (where the process may have it, else at nice -20) the one on the closing program's
// processor runs before that program is back from close(), and takes the notifications, or
// waits for the thread that is taking them, so that the flag is clear before the program can
// open again. Without real-time priority the flag is cleared later, often after a program
// that reopens at once has been refused (measured: most of 200 reopens with no pause, also
// at nice -20), so the bridge then does not make its terminals exclusive (Prompt()).
//
// Each terminal is watched by its path and by its directory: the kernel folds a notification
// into an equal one queued just before it, and the directory's report of every open and close
// comes between two of the terminal's own, so that none of those is folded and none is lost.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "terminal_holders.h"
#include "wake_event.h"

namespace ptybridge {

class TerminalWatch {
 public:
  // `note` gets a line for people when the counts may be wrong (the kernel's queue overflowed).
  explicit TerminalWatch(std::function<void(const std::string&)> note);
  ~TerminalWatch();
  TerminalWatch(const TerminalWatch&) = delete;
  TerminalWatch& operator=(const TerminalWatch&) = delete;

  bool Valid() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  // Whether every watch thread has real-time priority, so that a close is taken before the
  // closing program is back from close().
  bool Prompt() const { return prompt_; }

  // Reports the opens and closes of the holders' terminal from now on; false with `error` set.
  bool Add(TerminalHolders& holders, std::string* error);
  // No more reports to the holders once this returns.
  void Remove(TerminalHolders& holders);

 private:
  void Watch();
  void Lock();
  void Unlock();
  // Reads and hands on every queued notification; with the lock held.
  void TakeNotifications();

  std::function<void(const std::string&)> note_;
  std::string error_;
  std::mutex settleLock_;  // over the counts of settled threads
  std::condition_variable allSettled_;
  size_t settled_ = 0;
  size_t realTime_ = 0;
  bool prompt_ = false;
  int inotify_ = -1;
  WakeEvent quit_;
  std::atomic<bool> locked_{false};  // over the notification queue and what follows
  std::map<int, TerminalHolders*> terminals_;  // by watch descriptor
  std::vector<std::thread> threads_;
};

}  // namespace ptybridge
