// One port of the soak: an application's handle on a COM port bound to a channel of an emulated
// remote, a writer thread and a reader thread that run requests of random sizes with random
// read timeouts, cancellations and purges mixed in, and the check of every byte each way
// (soak_check.h). The remote's side of the stream comes in through Feed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "devserver.h"
#include "host/io/client.h"
#include "soak_check.h"

namespace tessacom {

// What a port did, for the progress line and the summary.
struct SoakFigures {
  std::atomic<size_t> written{0};   // bytes the remote's line got from the port
  std::atomic<size_t> read{0};      // bytes reads reported
  std::atomic<size_t> injected{0};  // bytes the remote's line sent toward the port
  std::atomic<size_t> writesDone{0}, writesCancelled{0};
  std::atomic<size_t> readsDone{0}, readsTimedOut{0}, readsCancelled{0};
  std::atomic<size_t> purges{0}, timeoutChanges{0};
  std::atomic<size_t> errors{0};
};

class SoakPort {
 public:
  // `quota` bytes each way; the random choices come from `seed`.
  SoakPort(std::string comName, devserver::DeviceServer& server, uint8_t channel, size_t quota,
           uint64_t seed);
  ~SoakPort();
  SoakPort(const SoakPort&) = delete;
  SoakPort& operator=(const SoakPort&) = delete;

  // Opens the port (an open whose handshake the faulty link lost is tried again) and starts
  // the writer and the reader.
  bool Start();
  // The remote's line sends more toward the port while the reader keeps up. Feeder thread.
  void Feed(std::mt19937_64& random);
  bool Finished() const { return writerDone_ && readerDone_; }
  // Asks the threads to stop after their current request, joins them and closes the handle.
  void Stop();
  // Checks the line's bytes against the writes' outcomes; call after Stop.
  void CheckWrites();

  const std::string& Name() const { return name_; }
  const SoakFigures& Figures() const { return figures_; }
  std::vector<std::string> Errors() const;

 private:
  void Error(const std::string& what);
  void RunWriter();
  void RunReader();
  // Ends a request in flight as the soak's dice say: left alone, cancelled, or purged.
  void Disturb(host::io::AsyncRequest& request, std::mt19937_64& random, ULONG purgeMask);
  host::io::Result Await(host::io::AsyncRequest& request, const char* what);
  bool ChooseTimeouts(std::mt19937_64& random, bool atOnce);
  void CheckRead(const host::io::Result& result, const uint8_t* buffer, ULONG length);
  bool ReaderAtEnd(bool drained);

  std::string name_;
  devserver::DeviceServer& server_;
  uint8_t channel_;
  uint64_t seed_;
  std::vector<uint8_t> outbound_;  // what the writes carry, in order
  std::vector<uint8_t> inbound_;   // what the line sends, in order
  struct WriteOutcome {
    size_t offset, length;
    bool whole;  // completed (else cancelled: any first part may have gone out)
  };
  std::vector<WriteOutcome> writes_;  // writer thread, then CheckWrites
  StreamCursor readCursor_;           // reader thread
  std::atomic<size_t> consumedBound_{0};  // bytes reads took or may have taken
  host::io::File file_;
  std::atomic<bool> stop_{false}, writerDone_{false}, readerDone_{false};
  std::atomic<bool> purgesRefused_{false}, timeoutsRefused_{false};
  SoakFigures figures_;
  mutable std::mutex errorsLock_;
  std::vector<std::string> errors_;
  std::thread writer_, reader_;
};

}  // namespace tessacom
