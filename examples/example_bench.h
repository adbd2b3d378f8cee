// The bench the comm examples run on: a device server emulator whose channel 1 is an echo
// plug, on a loopback address, and the driver (compiled in, or the kernel image named with
// `--image FILE`) loaded in the live host with COM3 bound to it. The examples then use COM3
// through the comm layer as a Windows program would.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "comm.h"
#include "devserver.h"
#include "host_session.h"

namespace examples {

class Bench {
 public:
  explicit Bench(const std::optional<std::string>& image);
  ~Bench();  // unloads the driver (printing what was left) and stops the emulator
  bool Ready() const { return ready_; }
  devserver::DeviceServer& Server() { return server_; }

 private:
  devserver::DeviceServer server_;
  tessacom::HostSession session_;
  bool ready_ = false;
};

// Prints "<what> failed: <error name> (<code>)" and returns the exit status of a failure.
int Failed(const std::string& what);

// A whole example: the bench (the driver from `--image FILE` among the arguments, else the
// compiled-in one), COM3 opened, `use` run on it, COM3 closed; the exit status.
int UseCom3(int argc, char** argv, const std::function<int(comm::Port&, devserver::DeviceServer&)>& use);

}  // namespace examples
