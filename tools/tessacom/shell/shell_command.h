// The command reader of `tessacom shell`: one line of text becomes one command, or the reason
// it is malformed. It sends nothing and touches no state; what it allocates is bounded by the
// length of the line, and the line reader bounds that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessacom::shell {

// A transfer (read N, out=N, write HEX, in=HEX) moves at most this many bytes.
constexpr uint32_t kMaxTransfer = 1u << 20;
// A line holds at most this many characters: a write of kMaxTransfer bytes and some room.
constexpr size_t kMaxLine = 2 * kMaxTransfer + 256;
// sleep and await wait at most this long (milliseconds of the host's clock).
constexpr uint32_t kMaxMilliseconds = 600000;
// await without a limit waits this long.
constexpr uint32_t kDefaultAwaitMilliseconds = 10000;
// query without out=N offers an output buffer of this many bytes.
constexpr uint32_t kDefaultQueryLength = 256;

enum class Verb {
  Open, Close, Write, Read, Flush, Ioctl, Query, Set, Cancel, Await, Sleep, Status, Help, Quit
};

struct Command {
  Verb verb = Verb::Help;
  bool async = false;            // a leading '&'
  std::string port;              // "@NAME": the open port it runs on; empty: the current port
  std::string name;              // open NAME
  std::vector<uint8_t> input;    // write HEX, in=HEX
  uint32_t length = 0;           // read N, out=N
  uint32_t code = 0;             // ioctl CODE; query and set CLASS
  uint32_t id = 0;               // cancel ID, await ID
  std::optional<uint32_t> milliseconds;  // sleep MS, await ID MS
};

struct ParsedLine {
  enum class Kind { Blank, Command, Malformed };
  Kind kind = Kind::Blank;
  Command command;     // Kind::Command
  std::string reason;  // Kind::Malformed
};

// A blank line or one whose first word starts with '#' is Blank: it is not answered.
ParsedLine ParseLine(std::string_view line);

// Whether the verb sends a request to the driver that may run asynchronously ('&').
bool IsRequest(Verb verb);
const char* VerbName(Verb verb);

enum class LineStatus { Line, TooLong, End };
// Reads one line without its end ("\n" or "\r\n"). A line of more than kMaxLine characters is
// read to its end and dropped (TooLong); `line` never holds more than kMaxLine characters.
LineStatus ReadLine(std::istream& in, std::string& line);

// "0x1B0004" or "1769476": a 32-bit number.
std::optional<uint32_t> ParseNumber(std::string_view text);
// A word of a line as a reason quotes it: at most 40 characters, printable ones only, so that
// an answer stays one short line whatever the input held.
std::string Quote(std::string_view word);
// Lower-case hex, two digits a byte.
std::string ToHex(const uint8_t* bytes, size_t count);

}  // namespace tessacom::shell
