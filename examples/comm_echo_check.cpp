// A terminal-style echo check on COM3: lines typed into the port come back through the remote
// echo plug and are shown as a terminal shows them; every line must come back unchanged.
#include <cstring>

#include "example_bench.h"

namespace {

using namespace comm;

constexpr const char* kLines[] = {"hello, remote line", "0123456789 abcdefghijklmnopqrstuvwxyz",
                                  "the quick brown fox jumps over the lazy dog"};

// Reads until `wanted` bytes came or a read brings nothing within its timeout.
std::string ReadBack(Port& port, size_t wanted) {
  std::string echoed;
  char buffer[256];
  for (int quiet = 0; echoed.size() < wanted && quiet < 3;) {
    DWORD got = 0;
    if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) break;
    echoed.append(buffer, got);
    quiet = got == 0 ? quiet + 1 : 0;
  }
  return echoed;
}

int Check(Port& port, devserver::DeviceServer&) {
  DCB dcb{};
  if (!GetCommState(port, dcb)) return examples::Failed("GetCommState");
  dcb.BaudRate = CBR_115200;  // the rest as the port was opened: 8 data bits, no parity
  if (!SetCommState(port, dcb)) return examples::Failed("SetCommState");
  const COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
  if (!SetCommTimeouts(port, timeouts)) return examples::Failed("SetCommTimeouts");
  int mismatches = 0;
  for (const char* text : kLines) {
    const std::string line = std::string(text) + "\r\n";
    DWORD written = 0;
    if (!WriteFile(port, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      return examples::Failed("WriteFile");
    }
    const std::string echoed = ReadBack(port, line.size());
    std::printf("> %s\n< %s\n", text, echoed.substr(0, echoed.find("\r\n")).c_str());
    if (echoed != line) ++mismatches;
  }
  std::printf(mismatches == 0 ? "every line came back\n" : "%d lines did not come back unchanged\n", mismatches);
  return mismatches == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return examples::UseCom3(argc, argv, Check); }
