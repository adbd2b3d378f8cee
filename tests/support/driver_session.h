// Test support: the real driver (compiled in, or the kernel image under test) loaded by the
// host's loader, over the host's UDP transport on a loopback address of the test's own, with a
// fresh registry. Manual mode unless told otherwise. Unloads (running the verifier's checks)
// when the session ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devserver.h"

#include "support/driver_under_test.h"

namespace testsupport {

inline const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom";
inline const std::string kSerialComm = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class DriverSession {
 public:
  // Manual mode, or live mode with the clock running `speed` times faster than real time.
  explicit DriverSession(bool live = false, double speed = 1.0);
  ~DriverSession();

  // Configuration before Load: the key exists (empty) from the start.
  void SetValue(std::string_view name, uint32_t value);
  // A device server emulator of the session, stopped when the session ends.
  devserver::DeviceServer& AddServer(devserver::ServerOptions options = {});
  // Binds the port the registry numbers `n` (from 1) to a channel of a server.
  void Bind(int n, const devserver::DeviceServer& server, uint8_t channel);
  // One port (COM3) bound to channel 0 of a new server whose channel 0 has `backend`.
  devserver::DeviceServer& AddOnePort(devserver::BackendKind backend, devserver::ServerOptions options = {});
  NTSTATUS Load();
  // Unloads a loaded driver, or releases the driver object of a failed load.
  void Unload();
  // The driver this session runs: its globals and routines.
  const tessacom::DriverBinding& Driver() const { return driver_.Driver(); }

  // The SERIALCOMM value of a device ("vxserial0"), as UTF-8 and its stored byte length.
  static std::string DeviceMapValue(std::string_view valueName, size_t* bytes = nullptr);
  static std::string LinkTargetOf(std::string_view comName);  // "" when there is no link

 private:
  DriverUnderTest driver_;  // outlives the host, which Shutdown stops in the destructor
  bool loaded_ = false;
  bool attempted_ = false;
  uint32_t driverAddress_ = 0;
  std::vector<std::unique_ptr<devserver::DeviceServer>> servers_;
};

}  // namespace testsupport
