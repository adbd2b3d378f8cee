// Fuzz target: the command reader of `tessacom shell`. Any text is read line by line; each line
// is blank, a command within the reader's bounds, or malformed with a reason that stays one
// short printable line; the bytes of a write read back from their hex as they went in.
#include <algorithm>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "shell/shell_command.h"

namespace {

using namespace tessacom::shell;

// Longest reason: a usage line, or a fixed text with one quoted word.
constexpr size_t kMaxReason = 120;

void CheckReason(const std::string& reason) {
  FUZZ_CHECK(!reason.empty() && reason.size() <= kMaxReason);
  FUZZ_CHECK(std::all_of(reason.begin(), reason.end(), [](char c) { return c >= 0x20 && c < 0x7F; }));
}

void CheckCommand(const Command& command) {
  FUZZ_CHECK(command.input.size() <= kMaxTransfer && command.length <= kMaxTransfer);
  FUZZ_CHECK(!command.milliseconds || *command.milliseconds <= kMaxMilliseconds);
  FUZZ_CHECK(!command.async || IsRequest(command.verb));
  if (command.verb != Verb::Write) return;
  const ParsedLine again = ParseLine("write " + ToHex(command.input.data(), command.input.size()));
  FUZZ_CHECK(again.kind == ParsedLine::Kind::Command && again.command.input == command.input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::string line;
  size_t consumed = 0;
  for (LineStatus status; (status = ReadLine(in, line)) != LineStatus::End;) {
    FUZZ_CHECK(status == LineStatus::Line && line.size() <= kMaxLine);
    consumed += line.size() + 1;
    FUZZ_CHECK(consumed <= size + 1);
    const ParsedLine parsed = ParseLine(line);
    if (parsed.kind == ParsedLine::Kind::Malformed) CheckReason(parsed.reason);
    if (parsed.kind == ParsedLine::Kind::Command) CheckCommand(parsed.command);
  }
  return 0;
}
