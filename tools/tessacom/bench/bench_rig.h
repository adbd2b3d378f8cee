// The stage of one bench measurement: the driver loaded in the live host (speed 1, so every
// pause is real), its COM ports bound to device server emulators on loopback addresses of the
// bench's own, and the applications' handles to those ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devserver.h"
#include "host/io/client.h"
#include "host_session.h"

namespace tessacom::bench {

// The bench's addresses: 127.255.y.z for two values of y picked from the process id, z from 1
// to 254; test support never hands out 127.255.0.0/16, so a bench and the suites can run side
// by side, and two benches only when their process ids differ modulo 128.
class AddressBlock {
 public:
  AddressBlock();
  uint32_t Driver() const { return Nth(0); }
  uint32_t Server(int index) const { return Nth(index + 1); }  // index from 0 to 255

 private:
  uint32_t Nth(int n) const;
  uint32_t firstY_;
};

struct RigLayout {
  int ports = 1;
  int servers = 1;  // port i is on server i % servers, channel i / servers
  devserver::BackendKind backend = devserver::BackendKind::Programmatic;
  bool sequencedLine = true;  // what the line sends back goes as SEQDATA, else as DATA
  devserver::ProtocolOptions protocol;
};

class Rig {
 public:
  // Starts the host and the emulators and writes the configuration; Load comes next.
  Rig(const std::optional<std::string>& image, const AddressBlock& addresses,
      const RigLayout& layout);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // What went wrong in the start, the load, an open or a close; "" while all is well.
  const std::string& Problem() const { return problem_; }
  bool Load();
  // Unloads the driver (closing any port still open first).
  void Unload();

  int Ports() const { return layout_.ports; }
  // The port's channel on its server, as the wire carries it.
  uint8_t Channel(int port) const { return static_cast<uint8_t>(port / layout_.servers); }
  devserver::DeviceServer& ServerOf(int port) { return *servers_[port % layout_.servers]; }
  std::string ComName(int port) const { return "COM" + std::to_string(kFirstCom + port); }
  host::io::File& File(int port) { return files_[port]; }

  // Opens or closes every port, spread over up to `threads` threads; false (and Problem set)
  // when one fails.
  bool OpenAll(int threads);
  bool CloseAll(int threads);

  // CPU time the emulators' threads have used so far.
  std::chrono::nanoseconds EmulatorCpu() const;

 private:
  static constexpr int kFirstCom = 3;
  void Fail(const std::string& what);

  RigLayout layout_;
  std::unique_ptr<HostSession> session_;
  std::vector<std::unique_ptr<devserver::DeviceServer>> servers_;
  std::vector<host::io::File> files_;
  std::string problem_;
};

// A read of up to `length` bytes with the port's default timeouts: it takes what the ring
// holds and, if that is nothing, waits until data is announced (and then ends with nothing:
// the next read takes the bytes). Its byte count, or nothing when it failed or `limit` passed
// first (it is cancelled then).
std::optional<ULONG_PTR> ReadWithin(host::io::File& file, void* buffer, ULONG length,
                                    std::chrono::milliseconds limit);

}  // namespace tessacom::bench
