// One port of the soak: an application's handle on a COM port bound to a channel of an emulated
// remote, a writer thread and a reader thread that run requests of random sizes with random
// read timeouts, cancellations, rewrites, immediate characters and purges mixed in, and the
// check of every byte each way (soak_check.h). The remote's side of the stream comes in through
// Feed. When the remote takes the link down, the application closes the port and opens it
// again (Reopen), as a program whose requests stopped would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "devserver.h"
#include "driver_binding.h"
#include "host/io/client.h"
#include "soak/soak_check.h"

namespace tessacom {

using SoakClock = std::chrono::steady_clock;

// What a port did, for the progress line and the summary.
struct SoakFigures {
  std::atomic<size_t> written{0};   // bytes the remote's line got from the port
  std::atomic<size_t> read{0};      // bytes reads reported
  std::atomic<size_t> injected{0};  // bytes the remote's line sent toward the port
  std::atomic<size_t> writesDone{0}, writesCancelled{0}, rewrites{0};
  std::atomic<size_t> immediates{0}, immediatesRefused{0};
  std::atomic<size_t> readsDone{0}, readsTimedOut{0}, readsCancelled{0};
  std::atomic<size_t> purges{0}, timeoutChanges{0}, reopens{0}, lateReplies{0};
  std::atomic<size_t> errors{0}, stalls{0};
};

// Where a port is bound, and how fast the driver's clock runs.
struct SoakPortPlace {
  std::string comName;
  LONG portIndex;
  devserver::DeviceServer* server;
  uint8_t channel;  // the wire channel
  double speed;     // the driver's clock against real time
};

class SoakPort {
 public:
  // `quota` bytes each way; the random choices come from `seed`.
  SoakPort(const SoakPortPlace& place, const DriverBinding& driver, size_t quota, uint64_t seed);
  ~SoakPort();
  SoakPort(const SoakPort&) = delete;
  SoakPort& operator=(const SoakPort&) = delete;

  // Opens the port (an open whose handshake the faulty link lost is tried again) and starts
  // the writer and the reader.
  bool Start();
  // The remote's line sends more toward the port while the reader keeps up. Feeder thread.
  void Feed(std::mt19937_64& random);
  // The remote took the link down: cancels what is in flight, closes the handle and opens the
  // port again. A thread of its own (the feeder goes on meanwhile).
  void Reopen();
  // While held, Feed sends the port nothing more (the remote's data in flight can drain).
  void HoldFeeding(bool hold) { feedingHeld_ = hold; }
  bool Finished() const { return writerDone_ && readerDone_; }
  // A direction owed progress that has not moved for `limit` (real time): what it is, else
  // nothing (also while the port reopens). The writes move while writes complete or the remote
  // takes their data (`remoteTook`: when it last did): a long write under loss completes late
  // but is not stalled. Neither direction is counted quiet before `remoteBack`, when the remote
  // came back from vanishing. Feeder thread.
  std::optional<std::string> Stalled(SoakClock::time_point now, SoakClock::duration limit,
                                     SoakClock::time_point remoteTook,
                                     SoakClock::time_point remoteBack);
  // Ends the port's run after a stall, recording it as an error with the link's state and the
  // last lines of its channel's trace.
  void Abandon(const std::string& why, std::vector<std::string> trace = {});
  // The trace lines kept at a stall.
  std::vector<std::string> StallTrace() const;
  // Asks the threads (and a reopen under way) to stop after their current request.
  void RequestStop();
  // Stops as RequestStop does, joins the threads and closes the handle. No reopen may be under
  // way any more.
  void Stop();
  // Checks the line's bytes against the writes' outcomes; call after Stop.
  void CheckWrites();

  const std::string& Name() const { return place_.comName; }
  uint8_t Channel() const { return place_.channel; }
  const devserver::DeviceServer& Remote() const { return *place_.server; }
  const SoakFigures& Figures() const { return figures_; }
  std::vector<std::string> Errors() const;
  // The driver's and the remote's view of the link, in one line.
  std::string LinkState() const;

 private:
  // What of a write's bytes the line must have got: all of them (it completed), any first part
  // (it was cancelled, or an immediate character a reopen's close may have lost), or all of
  // them unless the line ends where they begin (an immediate character the port's last close
  // may have lost: nothing after it reached the line then).
  enum class Reach { kAll, kAnyFirstPart, kAllOrLineEnd };
  // A request in flight of one of the threads, which Reopen and Abandon may cancel.
  struct InFlight {
    std::mutex lock;
    host::io::AsyncRequest* request = nullptr;
  };
  class Hold;

  void Error(const std::string& what);
  void RunWriter();
  void RunReader();
  size_t WriteOnce(std::mt19937_64& random, size_t offset);
  size_t SendImmediate(size_t offset);
  // Ends a request in flight as the soak's dice say: left alone, cancelled, or purged.
  void Disturb(host::io::AsyncRequest& request, std::mt19937_64& random, ULONG purgeMask);
  host::io::Result Await(host::io::AsyncRequest& request, InFlight& slot, const char* what);
  bool ChooseTimeouts(std::mt19937_64& random, bool atOnce);
  void CheckRead(const host::io::Result& result, const uint8_t* buffer, ULONG length);
  bool ReaderAtEnd(bool drained);
  bool OpenHandle();
  bool LinkHeldOpenByALateReply() const;
  void ForgetUnacknowledgedImmediates(Reach reach);
  void CancelInFlight();
  std::chrono::microseconds SoakTime(double seconds) const;

  SoakPortPlace place_;
  const DriverBinding& driver_;
  uint64_t seed_;
  std::vector<uint8_t> outbound_;  // what the writes carry, in order
  std::vector<uint8_t> inbound_;   // what the line sends, in order
  struct WriteOutcome {
    size_t offset, length;
    Reach reach;
    bool immediate;  // an immediate character
  };
  std::vector<WriteOutcome> writes_;  // writer thread, then CheckWrites
  StreamCursor readCursor_;           // reader thread
  std::atomic<size_t> consumedBound_{0};  // bytes reads took or may have taken
  host::io::File file_;
  // The threads hold the file shared for each request; Reopen holds it alone. `reopening_`
  // keeps them from starting requests meanwhile.
  std::shared_mutex fileLock_;
  std::mutex pauseLock_;
  std::condition_variable resumed_;
  bool reopening_ = false;
  InFlight writing_, reading_;
  std::atomic<SoakClock::rep> lastWrite_, lastRead_;  // when each direction last moved
  std::atomic<bool> stop_{false}, writerDone_{false}, readerDone_{false};
  std::atomic<bool> purgesRefused_{false}, timeoutsRefused_{false}, feedingHeld_{false};
  SoakFigures figures_;
  mutable std::mutex errorsLock_;
  std::vector<std::string> errors_;
  std::vector<std::string> stallTrace_;  // under errorsLock_
  std::thread writer_, reader_;
};

}  // namespace tessacom
