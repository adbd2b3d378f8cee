#include "stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace tessacom {

namespace {

struct StopState {
  std::atomic<int> signal{0};
  int descriptor = -1;  // eventfd, written once
  std::mutex lock;      // over action, and the setting of signal
  std::function<void()> action;
};

StopState& State() {
  static StopState* state = new StopState;  // the signals' thread may outlive main's objects
  return *state;
}

// The signals' thread: takes the first SIGINT or SIGTERM, records it, wakes the pollers and
// runs the action. Later signals stay blocked and pending: the stop under way is not hurried.
void TakeSignals(int signals) {
  signalfd_siginfo info{};
  ssize_t n;
  do {
    n = read(signals, &info, sizeof info);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof info)) return;
  StopState& state = State();
  std::lock_guard hold(state.lock);
  state.signal = static_cast<int>(info.ssi_signo);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(state.descriptor, &one, sizeof one);
  if (state.action) state.action();
}

}  // namespace

void InstallStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  StopState& state = State();
  state.descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
  if (state.descriptor < 0 || signals < 0) return;  // the signals then wait, blocked, unheeded
  std::thread(TakeSignals, signals).detach();
}

bool StopRequested() { return State().signal != 0; }

int StopSignal() { return State().signal; }

std::string StopWord() { return StopSignal() == SIGTERM ? "terminated" : "interrupted"; }

int StopDescriptor() { return State().descriptor; }

void SetStopAction(std::function<void()> action) {
  StopState& state = State();
  std::lock_guard hold(state.lock);
  state.action = std::move(action);
  if (state.signal != 0 && state.action) state.action();
}

void ClearStopAction() { SetStopAction(nullptr); }

int StoppedExitStatus() { return 128 + StopSignal(); }

}  // namespace tessacom
