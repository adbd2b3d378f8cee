// The demo's session on COM3, as an application would run it: open, the line at 115200 8N1,
// a pattern longer than one data packet written and read back through the emulator's echo,
// close; then the protocol as the emulator saw it.
#include "demo/demo_session.h"

#include <chrono>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "host/io/client.h"
#include "kernel.h"

namespace tessacom {

namespace {

constexpr size_t kPatternBytes = 300;  // three data packets of at most 128 bytes
constexpr auto kEchoLimit = std::chrono::seconds(5);

std::vector<uint8_t> DemoPattern() {
  const std::string phrase = "tessacom carries these bytes to the remote line and back. ";
  std::vector<uint8_t> bytes(kPatternBytes);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(phrase[i % phrase.size()]);
  return bytes;
}

std::string StatusText(NTSTATUS status) {
  if (status == STATUS_SUCCESS) return "success";
  std::ostringstream text;
  text << "status 0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
       << static_cast<uint32_t>(status);
  return text.str();
}

// Prints one step and whether it succeeded; false when it did not.
bool Step(std::ostream& out, const std::string& what, NTSTATUS status) {
  out << "  " << std::left << std::setw(44) << what << StatusText(status) << "\n";
  return NT_SUCCESS(status);
}

bool SetLine(std::ostream& out, host::io::File& file) {
  SERIAL_BAUD_RATE baud{115200};
  SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
  bool ok = Step(out, "set 115200 baud",
                 file.DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0).status);
  return Step(out, "set 8 data bits, no parity, 1 stop bit",
              file.DeviceControl(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0).status) &&
         ok;
}

// Reads until `count` bytes came back or the limit passed: a read that finds nothing waits
// until data is announced and then ends with what it had, so the next one takes the bytes.
std::vector<uint8_t> ReadBack(host::io::File& file, size_t count) {
  std::vector<uint8_t> received;
  std::vector<uint8_t> buffer(count);
  auto deadline = std::chrono::steady_clock::now() + kEchoLimit;
  while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
    host::io::AsyncRequest read = file.ReadAsync(buffer.data(), static_cast<ULONG>(count - received.size()));
    std::optional<host::io::Result> result = read.WaitFor(deadline - std::chrono::steady_clock::now());
    if (!result) read.Cancel();
    host::io::Result done = read.Wait();
    if (!NT_SUCCESS(done.status)) break;
    received.insert(received.end(), buffer.begin(), buffer.begin() + done.information);
  }
  return received;
}

bool WriteAndReadBack(std::ostream& out, host::io::File& file) {
  std::vector<uint8_t> pattern = DemoPattern();
  host::io::Result written = file.Write(pattern.data(), static_cast<ULONG>(pattern.size()));
  bool ok = Step(out, "write " + std::to_string(written.information) + " of " +
                          std::to_string(pattern.size()) + " bytes",
                 written.status) &&
            written.information == pattern.size();
  std::vector<uint8_t> received = ReadBack(file, pattern.size());
  bool same = received == pattern;
  out << "  " << std::left << std::setw(44) << "read back " + std::to_string(received.size()) + " bytes"
      << (same ? "identical to what was written" : "NOT what was written") << "\n";
  return ok && same;
}

}  // namespace

bool RunDemoSession(std::ostream& out, devserver::DeviceServer& server) {
  out << "\nan application on COM3:\n";
  server.ClearTrace();
  host::io::OpenResult opened = host::io::Open("COM3");
  bool ok = Step(out, "open COM3", opened.status);
  if (ok) {
    ok = SetLine(out, opened.file) && ok;
    ok = WriteAndReadBack(out, opened.file) && ok;
    ok = Step(out, "close COM3", opened.file.Close()) && ok;
  }
  out << "\nthe link as the emulator saw it (<- from the driver, -> to it):\n";
  for (const std::string& line : server.TraceLines()) out << "  " << line << "\n";
  for (const std::string& note : server.Notes()) out << "  note: " << note << "\n";
  return ok;
}

}  // namespace tessacom
