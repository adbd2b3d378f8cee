// One run of the driver in the live host, as the program drives it: the host started with its
// UDP transport, a registry, the driver (compiled in, or a kernel image) loaded, and at the end
// unloaded with the verifier's checks and a summary of what was left.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "driver_binding.h"

namespace tessacom {

class LinkWatch;

class HostSession {
 public:
  // Loads the kernel image `image` when one is named (throwing std::runtime_error with the
  // loader's refusal), then starts the live host and the transport; `anyAddress` is what the
  // driver's "any address" endpoint binds (0 = every local address). Without root, port 519 is
  // mapped to `unprivilegedPort` on the wire (0 = leave it at 519). The live clock runs `speed`
  // times faster than real time. With `loopbackOnly` the transport's loopback guard is on:
  // nothing is sent beyond 127.0.0.0/8. Without it the driver reaches any IPv4 remote.
  HostSession(const std::optional<std::string>& image, uint32_t anyAddress,
              uint16_t unprivilegedPort = 0, double speed = 1.0, bool loopbackOnly = true);
  ~HostSession();

  // The registry: the file merged over an empty registry or, without a file, an empty
  // "tessacom" key. Throws the registry's RegFileError for a file that cannot be read or is
  // malformed.
  void PrepareRegistry(const std::optional<std::string>& regFile);
  void SetConfiguration(const std::string& name, uint32_t value);
  // COM3 to COM5 on channels 1 to 3 of the device server at `address`.
  void ConfigureServer(uint32_t address);

  // The driver this session runs.
  const DriverBinding& Driver() const { return *driver_; }
  NTSTATUS Load();
  bool Loaded() const { return loaded_; }
  // Why the load could not bind the driver's UDP endpoint (another program has the address
  // and port, or port 519 needs root), in words naming the address; "" when it bound. A driver
  // without its endpoint sends and receives nothing.
  std::string EndpointRefusal() const;
  // Unloads (or releases a failed load) and writes the summary of what was left, and of the
  // capture when one was on.
  void Unload(std::ostream& out);

  // Captures every datagram the transport sends or receives into the pcap file at `path`, up
  // to PcapFile::kDefaultLimitBytes (a note on standard error says when the limit is met).
  // False, with the reason written to `out`, when the file cannot be written.
  bool StartCapture(const std::string& path, std::ostream& out);
  // Counts each port's traffic from now on, for PrintStatus. After a successful Load.
  void WatchLink();
  // Every port's and remote's status (PrintLinkStatus).
  void PrintStatus(std::ostream& out);

 private:
  void EndCapture(std::ostream* out);

  std::unique_ptr<DriverImage> image_;  // outlives the host: unmapped after Shutdown
  const DriverBinding* driver_;
  std::unique_ptr<LinkWatch> watch_;
  bool capturing_ = false;
  bool loaded_ = false;
  bool attempted_ = false;
};

// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\tessacom", the driver's key.
std::string ServiceKeyPath();

// The port the program carries UDP 519 on when it does not run as root.
constexpr uint16_t kUnprivilegedLinkPort = 40519;

// The port UDP 519 is carried on: 519 as root, `fallback` otherwise.
uint16_t LinkWirePort(uint16_t fallback);

}  // namespace tessacom
