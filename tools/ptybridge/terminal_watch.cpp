// The watch over the bridge's terminals, one thread per processor.
#include "terminal_watch.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ptybridge {

namespace {

constexpr uint32_t kOpenClose = IN_OPEN | IN_CLOSE;
// How long a waiter for the lock spins before it sleeps between tries: the holder is a watch
// thread running on another processor (a few microseconds), or Add or Remove on an ordinary
// thread, which a real-time waiter on its processor must let run.
constexpr auto kSpinFor = std::chrono::microseconds(200);
constexpr timespec kLockPause{0, 20000};

// The calling thread bound to `processor`, at the lowest real-time priority, or else at
// nice -20 (as it is when the process may have neither); whether it has real-time priority.
bool Settle(int processor) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(processor, &one);
  pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20);
  return false;
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

TerminalWatch::TerminalWatch(std::function<void(const std::string&)> note) : note_(std::move(note)) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  cpu_set_t processors;
  if (inotify_ < 0 || !quit_.Valid() || sched_getaffinity(0, sizeof processors, &processors) != 0) {
    error_ = std::string("watch: ") + std::strerror(errno);
    return;
  }
  for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
    if (!CPU_ISSET(processor, &processors)) continue;
    threads_.emplace_back([this, processor] {
      const bool realTime = Settle(processor);
      {
        std::lock_guard lock(settleLock_);
        settled_++;
        realTime_ += realTime;
      }
      allSettled_.notify_all();
      Watch();
    });
  }
  std::unique_lock lock(settleLock_);
  allSettled_.wait(lock, [this] { return settled_ == threads_.size(); });
  prompt_ = realTime_ == threads_.size();
}

TerminalWatch::~TerminalWatch() {
  quit_.Signal();
  for (std::thread& thread : threads_) thread.join();
  if (inotify_ >= 0) close(inotify_);
}

void TerminalWatch::Lock() {
  const auto spinUntil = std::chrono::steady_clock::now() + kSpinFor;
  while (locked_.exchange(true, std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() >= spinUntil) nanosleep(&kLockPause, nullptr);
  }
}

void TerminalWatch::Unlock() { locked_.store(false, std::memory_order_release); }

bool TerminalWatch::Add(TerminalHolders& holders, std::string* error) {
  const std::string& path = holders.Terminal().Path();
  Lock();
  const int terminal = inotify_add_watch(inotify_, path.c_str(), kOpenClose);
  const bool added = terminal >= 0 && inotify_add_watch(inotify_, DirectoryOf(path).c_str(), kOpenClose) >= 0;
  if (added) terminals_[terminal] = &holders;
  if (!added) *error = "watch " + path + ": " + std::strerror(errno);
  if (!added && terminal >= 0) inotify_rm_watch(inotify_, terminal);
  Unlock();
  return added;
}

void TerminalWatch::Remove(TerminalHolders& holders) {
  Lock();
  for (auto it = terminals_.begin(); it != terminals_.end(); ++it) {
    if (it->second != &holders) continue;
    inotify_rm_watch(inotify_, it->first);
    terminals_.erase(it);
    break;
  }
  Unlock();
}

void TerminalWatch::Watch() {
  for (;;) {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {quit_.Fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    Lock();
    TakeNotifications();
    Unlock();
  }
}

void TerminalWatch::TakeNotifications() {
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = read(inotify_, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) note_("notifications were lost: the count of programs holding a port may be wrong");
      const auto found = terminals_.find(event->wd);
      if (found == terminals_.end()) continue;
      if (event->mask & IN_OPEN) found->second->Opened();
      if (event->mask & IN_CLOSE) found->second->Closed();
    }
  }
}

}  // namespace ptybridge
