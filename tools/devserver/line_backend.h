// What stands at the device end of a channel's serial line.
// - programmatic: nothing; the bytes the driver wrote are kept for queries and line bytes are
//   injected through the server's interface (tests);
// - echo: a loopback plug: what the driver writes comes straight back to it;
// - pty: a pseudo-terminal whose other side is the device; its path is shown at creation.
// Backends are used from the server's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace devserver {

enum class BackendKind { Programmatic, Echo, Pty };

std::optional<BackendKind> ParseBackendKind(std::string_view name);
const char* BackendKindName(BackendKind kind);

class LineBackend {
 public:
  virtual ~LineBackend() = default;
  // The driver's bytes arriving at the device end of the line; returns the bytes the line
  // sends back at once (the echo plug), if any.
  virtual std::vector<uint8_t> FromDriver(std::span<const uint8_t> bytes) = 0;
  // A descriptor the server polls for bytes coming from the device, or -1.
  virtual int PollDescriptor() const { return -1; }
  // Reads what the device sent once the descriptor is readable.
  virtual std::vector<uint8_t> ReadFromDevice() { return {}; }
  // One line for people: "echo", "pty /dev/pts/7".
  virtual std::string Describe() const = 0;
};

// Makes a backend; for a pty, nothing and `error` set when no pseudo-terminal can be had.
std::unique_ptr<LineBackend> MakeBackend(BackendKind kind, std::string* error);

}  // namespace devserver
