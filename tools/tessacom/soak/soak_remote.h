// One emulated remote of the soak: a device server emulator with the link's faults on the
// datagrams both ways, what its trace counts, and the remote's own events at random moments of
// the driver's clock: a repeated open reply, a flood of polls, the link taken down (the
// application then closes its port and opens it again), and the remote vanishing for 20 s.
//
// Inside the protocol's limit (the default), a datagram held back is passed at the latest once
// two later ones of its direction have passed, the open and close handshakes are never held,
// and the link goes down only once the remote has no data in flight to the port (it could not
// know what the port took of it). Beyond the limit, datagrams are held by time alone, handshakes
// too, and the link goes down at any moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "devserver.h"
#include "soak/soak_link_counter.h"
#include "soak/soak_port.h"

namespace tessacom {

struct SoakFaults {
  double rate = 0.05;         // of datagrams dropped, and as many duplicated, reordered, delayed
  bool beyondLimit = false;
  double speed = 100;         // the driver's clock against real time
  uint64_t seed = 1;
};

struct RemoteEventCounts {
  size_t openReplies = 0, pollFloods = 0, downs = 0, downsSkipped = 0, vanishes = 0;
};

class SoakRemote {
 public:
  SoakRemote(int index, const SoakFaults& faults);
  ~SoakRemote();
  // Starts the emulator on `address`, sending to the driver at `driverAddress`.
  bool Start(uint32_t address, uint32_t driverAddress, uint16_t wirePort, std::ostream& out);
  // Waits for a reopen under way to end (its port asked to stop first); call before the ports
  // are stopped.
  void JoinReopen();
  void Stop();
  devserver::DeviceServer& Server() { return *server_; }
  const devserver::DeviceServer& Server() const { return *server_; }
  const LinkCounter& Counter() const { return counter_; }
  RemoteEventCounts Events() const { return counts_; }
  // When the remote is back from its last vanishing (the epoch when it never vanished): until
  // then no port of it can move, whatever the driver does. Feeder thread.
  SoakClock::time_point BackFromVanishing() const { return backFromVanishing_; }
  // A port on this remote, whose channel the events may pick.
  void Attach(SoakPort* port) { ports_.push_back(port); }
  // Starts an event when one is due, or takes the one under way a step further. Feeder thread.
  void Tick(SoakClock::time_point now);

 private:
  enum class Phase { Idle, Draining, Down, Reopening };
  void Begin(SoakClock::time_point now);
  void TakeDown(SoakClock::time_point now);
  void FinishReopen();
  SoakClock::duration SoakTime(double seconds) const;

  SoakFaults faults_;
  std::mt19937_64 random_;
  LinkCounter counter_;
  std::unique_ptr<devserver::DeviceServer> server_;
  std::vector<SoakPort*> ports_;
  RemoteEventCounts counts_;
  Phase phase_ = Phase::Idle;
  SoakClock::time_point backFromVanishing_{};
  SoakPort* downPort_ = nullptr;
  SoakClock::time_point next_, deadline_, checkAt_;
  // The application's reopen of the port whose link went down runs on a thread of its own, so
  // that the other ports are fed and watched meanwhile.
  std::thread reopener_;
  std::atomic<bool> reopened_{false};
};

}  // namespace tessacom
