#include "shell/shell_command.h"

#include <charconv>
#include <istream>
#include <span>

#include "nt_names.h"

namespace tessacom::shell {
namespace {

using Arguments = std::span<const std::string_view>;
using Parser = bool (*)(Arguments arguments, Command& command, std::string& reason);

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSpace(line[i])) i++;
    size_t start = i;
    while (i < line.size() && !IsSpace(line[i])) i++;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// The whole of `text` as an unsigned number in `base`; no sign, no spaces.
template <typename Unsigned>
bool WholeNumber(std::string_view text, int base, Unsigned& value) {
  const char* end = text.data() + text.size();
  auto [stop, fault] = std::from_chars(text.data(), end, value, base);
  return fault == std::errc() && stop == end;
}

bool AppendHex(std::string_view text, std::vector<uint8_t>& bytes, std::string& reason) {
  if (text.size() % 2 != 0) {
    reason = "odd number of hex digits in " + Quote(text);
    return false;
  }
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    if (!WholeNumber(text.substr(i, 2), 16, byte)) {
      reason = "not hex: " + Quote(text);
      return false;
    }
    bytes.push_back(byte);
  }
  if (bytes.size() > kMaxTransfer) {
    reason = "more than " + std::to_string(kMaxTransfer) + " bytes";
    return false;
  }
  return true;
}

bool Number(std::string_view text, uint32_t limit, const char* what, uint32_t& value,
            std::string& reason) {
  std::optional<uint32_t> number = ParseNumber(text);
  if (!number) {
    reason = std::string(what) + " is not a number: " + Quote(text);
    return false;
  }
  if (*number > limit) {
    reason = std::string(what) + " over " + std::to_string(limit) + ": " + Quote(text);
    return false;
  }
  value = *number;
  return true;
}

bool Usage(Arguments arguments, size_t least, size_t most, const char* usage, std::string& reason) {
  if (arguments.size() >= least && arguments.size() <= most) return true;
  reason = std::string("usage: ") + usage;
  return false;
}

// in=HEX and out=N after an ioctl, query or set, each at most once.
bool Options(Arguments arguments, bool takesIn, bool takesOut, Command& command, std::string& reason) {
  bool sawIn = false;
  bool sawOut = false;
  for (std::string_view word : arguments) {
    size_t equals = word.find('=');
    std::string_view key = word.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? "" : word.substr(equals + 1);
    bool in = takesIn && equals != std::string_view::npos && SameName(key, "in");
    bool out = takesOut && equals != std::string_view::npos && SameName(key, "out");
    if ((!in && !out) || (in && sawIn) || (out && sawOut)) {
      reason = "unexpected argument " + Quote(word);
      return false;
    }
    sawIn = sawIn || in;
    sawOut = sawOut || out;
    if (in && !AppendHex(value, command.input, reason)) return false;
    if (out && !Number(value, kMaxTransfer, "out=", command.length, reason)) return false;
  }
  return true;
}

bool NoArguments(Arguments arguments, Command& command, std::string& reason) {
  if (arguments.empty()) return true;
  reason = std::string(VerbName(command.verb)) + " takes no argument";
  return false;
}

bool ParseOpen(Arguments arguments, Command& command, std::string& reason) {
  if (!Usage(arguments, 1, 1, "open NAME", reason)) return false;
  command.name = arguments[0];
  return true;
}

bool ParseWrite(Arguments arguments, Command& command, std::string& reason) {
  for (std::string_view word : arguments) {
    if (!AppendHex(word, command.input, reason)) return false;
  }
  return true;
}

bool ParseRead(Arguments arguments, Command& command, std::string& reason) {
  return Usage(arguments, 1, 1, "read N", reason) &&
         Number(arguments[0], kMaxTransfer, "length", command.length, reason);
}

bool ParseIoctl(Arguments arguments, Command& command, std::string& reason) {
  if (!Usage(arguments, 1, 3, "ioctl CODE [in=HEX] [out=N]", reason)) return false;
  std::optional<uint32_t> code = ParseNumber(arguments[0]);
  if (!code) code = ControlCodeByName(arguments[0]);
  if (!code) {
    reason = "unknown control code " + Quote(arguments[0]);
    return false;
  }
  command.code = *code;
  return Options(arguments.subspan(1), true, true, command, reason);
}

bool InformationClass(std::string_view word, Command& command, std::string& reason) {
  std::optional<uint32_t> number = ParseNumber(word);
  if (!number) number = InformationClassByName(word);
  if (!number) {
    reason = "unknown information class " + Quote(word);
    return false;
  }
  command.code = *number;
  return true;
}

bool ParseQuery(Arguments arguments, Command& command, std::string& reason) {
  command.length = kDefaultQueryLength;
  return Usage(arguments, 1, 2, "query CLASS [out=N]", reason) &&
         InformationClass(arguments[0], command, reason) &&
         Options(arguments.subspan(1), false, true, command, reason);
}

bool ParseSet(Arguments arguments, Command& command, std::string& reason) {
  return Usage(arguments, 1, 2, "set CLASS [in=HEX]", reason) &&
         InformationClass(arguments[0], command, reason) &&
         Options(arguments.subspan(1), true, false, command, reason);
}

bool ParseCancel(Arguments arguments, Command& command, std::string& reason) {
  return Usage(arguments, 1, 1, "cancel ID", reason) &&
         Number(arguments[0], UINT32_MAX, "ID", command.id, reason);
}

bool ParseAwait(Arguments arguments, Command& command, std::string& reason) {
  if (!Usage(arguments, 1, 2, "await ID [MS]", reason) ||
      !Number(arguments[0], UINT32_MAX, "ID", command.id, reason)) {
    return false;
  }
  uint32_t milliseconds = kDefaultAwaitMilliseconds;
  if (arguments.size() == 2 && !Number(arguments[1], kMaxMilliseconds, "MS", milliseconds, reason)) {
    return false;
  }
  command.milliseconds = milliseconds;
  return true;
}

bool ParseSleep(Arguments arguments, Command& command, std::string& reason) {
  uint32_t milliseconds = 0;
  if (!Usage(arguments, 1, 1, "sleep MS", reason) ||
      !Number(arguments[0], kMaxMilliseconds, "MS", milliseconds, reason)) {
    return false;
  }
  command.milliseconds = milliseconds;
  return true;
}

struct VerbEntry {
  const char* word;
  Verb verb;
  bool onPort;  // runs on a port: '@NAME' may choose it
  Parser parse;
};

constexpr VerbEntry kVerbs[] = {
    {"open", Verb::Open, false, ParseOpen},     {"close", Verb::Close, true, NoArguments},
    {"write", Verb::Write, true, ParseWrite},   {"read", Verb::Read, true, ParseRead},
    {"flush", Verb::Flush, true, NoArguments},  {"ioctl", Verb::Ioctl, true, ParseIoctl},
    {"query", Verb::Query, true, ParseQuery},   {"set", Verb::Set, true, ParseSet},
    {"cancel", Verb::Cancel, false, ParseCancel}, {"await", Verb::Await, false, ParseAwait},
    {"sleep", Verb::Sleep, false, ParseSleep},  {"status", Verb::Status, false, NoArguments},
    {"help", Verb::Help, false, NoArguments},   {"quit", Verb::Quit, false, NoArguments},
};

const VerbEntry* FindVerb(std::string_view word) {
  for (const VerbEntry& entry : kVerbs) {
    if (SameName(entry.word, word)) return &entry;
  }
  return nullptr;
}

// The prefixes before the command word: at most one '&' (alone or glued to the next word) and
// at most one '@NAME'. Returns the index of the command word, or words.size() on a fault.
size_t Prefixes(std::vector<std::string_view>& words, Command& command, std::string& reason) {
  bool port = false;
  for (size_t i = 0; i < words.size();) {
    std::string_view& word = words[i];
    if (word[0] == '&') {
      if (command.async) reason = "more than one '&'";
      command.async = true;
      word.remove_prefix(1);
      if (word.empty()) i++;
    } else if (word[0] == '@') {
      if (port) reason = "more than one '@NAME'";
      if (word.size() == 1) reason = "'@' without a port name";
      port = true;
      command.port = word.substr(1);
      i++;
    } else {
      return i;
    }
    if (!reason.empty()) return words.size();
  }
  reason = "no command";
  return words.size();
}

}  // namespace

bool IsRequest(Verb verb) {
  return verb == Verb::Write || verb == Verb::Read || verb == Verb::Flush || verb == Verb::Ioctl ||
         verb == Verb::Query || verb == Verb::Set;
}

const char* VerbName(Verb verb) {
  for (const VerbEntry& entry : kVerbs) {
    if (entry.verb == verb) return entry.word;
  }
  return "?";
}

ParsedLine ParseLine(std::string_view line) {
  ParsedLine parsed;
  std::vector<std::string_view> words = Words(line);
  if (words.empty() || words[0][0] == '#') return parsed;
  parsed.kind = ParsedLine::Kind::Malformed;
  Command& command = parsed.command;
  size_t at = Prefixes(words, command, parsed.reason);
  if (at == words.size()) return parsed;
  const VerbEntry* entry = FindVerb(words[at]);
  if (entry == nullptr) {
    parsed.reason = "unknown command " + Quote(words[at]);
    return parsed;
  }
  command.verb = entry->verb;
  if (command.async && !IsRequest(entry->verb)) {
    parsed.reason = std::string("'&' before ") + entry->word + ", which is not a request";
    return parsed;
  }
  if (!command.port.empty() && !entry->onPort) {
    parsed.reason = std::string("'@NAME' before ") + entry->word + ", which does not run on a port";
    return parsed;
  }
  if (!entry->parse(Arguments(words).subspan(at + 1), command, parsed.reason)) return parsed;
  parsed.kind = ParsedLine::Kind::Command;
  return parsed;
}

LineStatus ReadLine(std::istream& in, std::string& line) {
  line.clear();
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) return LineStatus::End;
  bool tooLong = false;
  int c = buffer->sbumpc();
  if (c == std::char_traits<char>::eof()) {
    in.setstate(std::ios::eofbit);
    return LineStatus::End;
  }
  for (; c != std::char_traits<char>::eof() && c != '\n'; c = buffer->sbumpc()) {
    if (line.size() < kMaxLine) {
      line.push_back(static_cast<char>(c));
    } else {
      tooLong = true;
    }
  }
  if (tooLong) {
    line.clear();
    return LineStatus::TooLong;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineStatus::Line;
}

std::optional<uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t value = 0;
  if (!WholeNumber(text, base, value)) return std::nullopt;
  return value;
}

std::string Quote(std::string_view word) {
  constexpr size_t kShown = 40;
  std::string text = "'";
  for (size_t i = 0; i < word.size() && i < kShown; i++) {
    char c = word[i];
    text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  text += word.size() > kShown ? "...'" : "'";
  return text;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; i++) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0xF]);
  }
  return text;
}

}  // namespace tessacom::shell
