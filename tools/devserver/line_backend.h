// What stands at the device end of a channel's serial line.
// - programmatic: nothing; the bytes the driver wrote are kept for queries and line bytes are
//   injected through the server's interface (tests);
// - echo: a loopback plug: what the driver writes comes straight back to it;
// - pty: a pseudo-terminal whose other side is the device; its path is shown at creation;
// - tty: a real serial device (or any terminal) opened by path: the line's settings blocks
//   and breaks are applied to it.
// Backends are used from the server's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "line_settings.h"

namespace devserver {

enum class BackendKind { Programmatic, Echo, Pty, Tty };

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
  // Whether bytes wait for the descriptor to take them, and the call when it can.
  virtual bool WantsToWrite() const { return false; }
  virtual void WriteReady() {}
  // One line for people: "echo", "pty /dev/pts/7".
  virtual std::string Describe() const = 0;
  // A settings block (from OPEN or SETTINGS) and break on or off, for a line that has them;
  // each returns what went wrong, or nothing.
  virtual std::string ApplySettings(const LineSettings&) { return {}; }
  virtual std::string SetBreak(bool) { return {}; }
};

// Makes a backend; nothing and `error` set when no pseudo-terminal can be had, or when the
// device of a tty line (`device`, its path) cannot be opened as a terminal.
std::unique_ptr<LineBackend> MakeBackend(BackendKind kind, std::string* error,
                                         const std::string& device = {});

// The real-line backend alone.
std::unique_ptr<LineBackend> MakeTtyBackend(const std::string& device, std::string* error);

}  // namespace devserver
