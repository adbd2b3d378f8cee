// Reading .reg text files of the registry editor into the host's registry tree. Loading parses
// the whole text into operations first and applies them under one lock, so that a malformed
// file changes nothing. Work grows as n log n with the number of keys and values.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <variant>

#include "host/registry/limits.h"
#include "host/registry/reg_file_format.h"
#include "host/registry/registry.h"
#include "host/registry/store.h"

namespace host::registry {

RegFileError::RegFileError(std::string file, size_t line, const std::string& problem)
    : std::runtime_error(file + (line == 0 ? "" : ":" + std::to_string(line)) + ": " + problem),
      file_(std::move(file)),
      line_(line) {}

namespace {

using format::kHeader4;
using format::kHeader5;
using format::kRoots;
using format::StartsWithNoCase;

struct CreateKeyOp {
  std::u16string path;
};
struct DeleteKeyOp {
  std::u16string path;
};
struct SetValueOp {
  std::u16string path, name;
  Value value;
};
struct DeleteValueOp {
  std::u16string path, name;
};
using Operation = std::variant<CreateKeyOp, DeleteKeyOp, SetValueOp, DeleteValueOp>;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminate) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// Reads the text as UTF-8, turning a UTF-16LE file (as the editor itself writes) into UTF-8
// and dropping a byte-order mark. An unpaired surrogate in a UTF-16 file is an error.
std::string AsUtf8(std::string_view raw, std::string_view source) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    std::u16string wide;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                           static_cast<unsigned char>(raw[i + 1]) << 8));
    }
    if (size_t bad = rtl::FirstUnpairedSurrogate(wide); bad != std::u16string::npos) {
      char problem[48];
      std::snprintf(problem, sizeof(problem), "unpaired UTF-16 surrogate %04X",
                    static_cast<unsigned>(wide[bad]));
      throw RegFileError(std::string(source), 1 + std::count(wide.begin(), wide.begin() + bad, u'\n'), problem);
    }
    return rtl::ToUtf8(wide);
  }
  if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
  return std::string(raw);
}

class Parser {
 public:
  Parser(std::string_view source, std::string text) : source_(source), text_(std::move(text)) {}

  std::vector<Operation> Parse() {
    SplitLines();
    size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size()) Fail(lines_.empty() ? 1 : lines_.size(), "empty file: no header line");
    std::string_view header = Trim(lines_[i]);
    if (header == kHeader5) {
      unicode_ = true;
    } else if (header == kHeader4) {
      unicode_ = false;
    } else {
      Fail(i + 1, "expected the header \"" + std::string(kHeader5) + "\" or \"" +
                      std::string(kHeader4) + "\", found \"" + std::string(header) + "\"");
    }
    for (++i; i < lines_.size(); ++i) {
      size_t first = i;
      std::string logical = std::string(Trim(lines_[i]));
      // Hex data ending with a backslash continues on the next line.
      const bool hex = IsHexValueLine(logical);
      while (hex && logical.back() == '\\' && i + 1 < lines_.size()) {
        logical.pop_back();
        logical += Trim(lines_[++i]);
      }
      ParseLine(first + 1, logical);
    }
    return std::move(operations_);
  }

 private:
  [[noreturn]] void Fail(size_t line, const std::string& problem) const {
    throw RegFileError(std::string(source_), line, problem);
  }

  void SplitLines() {
    size_t start = 0;
    while (start < text_.size()) {
      size_t end = text_.find('\n', start);
      if (end == std::string::npos) end = text_.size();
      lines_.push_back(std::string_view(text_).substr(start, end - start));
      RequireUtf8(lines_.size(), lines_.back());
      start = end + 1;
    }
  }

  void RequireUtf8(size_t line, std::string_view s) const {
    size_t bad = rtl::FirstInvalidUtf8(s);
    if (bad == std::string_view::npos) return;
    char byte[4];
    std::snprintf(byte, sizeof(byte), "%02X", static_cast<unsigned>(static_cast<unsigned char>(s[bad])));
    Fail(line, "invalid UTF-8 at column " + std::to_string(bad + 1) + ": byte " + byte +
                   " does not begin a well-formed sequence (overlong form, surrogate, cut or stray byte)");
  }

  // A name the tree may hold and a file can write back: no control character, within limits.
  void RequireName(size_t line, std::u16string_view name, const std::string& limitProblem) const {
    if (!format::Quotable(name)) Fail(line, "a name with a control character");
    if (!limitProblem.empty()) Fail(line, limitProblem);
  }

  // Whether s is a value line whose data is in the hex: or hex(type): form.
  static bool IsHexValueLine(std::string_view s) {
    size_t pos = 0;
    if (s.empty()) return false;
    if (s.front() == '@') {
      pos = 1;
    } else if (s.front() == '"') {
      for (pos = 1; pos < s.size() && s[pos] != '"'; ++pos) {
        if (s[pos] == '\\') ++pos;
      }
      ++pos;
    } else {
      return false;
    }
    if (pos >= s.size()) return false;
    std::string_view rest = Trim(s.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    return StartsWithNoCase(Trim(rest.substr(1)), "hex");
  }

  void ParseLine(size_t line, std::string_view s) {
    if (s.empty() || s.front() == ';') return;
    if (s.front() == '[') return ParseKey(line, s);
    if (s.front() == '"' || s.front() == '@') return ParseValue(line, s);
    Fail(line, "expected a [key], a \"name\"=value line, @=value or a ; comment, found \"" +
                   std::string(s) + "\"");
  }

  void ParseKey(size_t line, std::string_view s) {
    if (s.back() != ']') Fail(line, "key line does not end with ']'");
    std::string_view name = s.substr(1, s.size() - 2);
    bool remove = !name.empty() && name.front() == '-';
    if (remove) name.remove_prefix(1);
    if (name.empty()) Fail(line, "empty key name");
    std::string_view hive = name.substr(0, name.find('\\'));
    std::string path;
    for (const auto& root : kRoots) {
      if (hive.size() == root.hive.size() && StartsWithNoCase(hive, root.hive)) {
        path = std::string(root.path) + std::string(name.substr(hive.size()));
      }
    }
    if (path.empty()) {
      Fail(line, "unknown root key \"" + std::string(hive) +
                     "\" (HKEY_LOCAL_MACHINE or HKEY_USERS expected)");
    }
    currentKey_ = rtl::FromUtf8(path);
    RequireName(line, currentKey_, KeyPathProblem(currentKey_));
    haveKey_ = !remove;
    if (remove) {
      operations_.push_back(DeleteKeyOp{currentKey_});
    } else {
      operations_.push_back(CreateKeyOp{currentKey_});
    }
  }

  // A quoted string starting at s[0] == '"'; leaves pos after the closing quote.
  std::u16string QuotedString(size_t line, std::string_view s, size_t& pos) const {
    std::string out;
    for (pos = 1; pos < s.size(); ++pos) {
      char c = s[pos];
      if (c == '"') {
        ++pos;
        return rtl::FromUtf8(out);
      }
      if (c == '\\') {
        if (pos + 1 >= s.size()) break;
        char next = s[++pos];
        if (next != '\\' && next != '"') {
          Fail(line, std::string("unknown escape \"\\") + next + "\" in a quoted string");
        }
        c = next;
      }
      out.push_back(c);
    }
    Fail(line, "quoted string has no closing quote");
  }

  void ParseValue(size_t line, std::string_view s) {
    std::u16string name;
    size_t pos = 1;
    if (s.front() == '"') name = QuotedString(line, s, pos);
    RequireName(line, name, ValueNameProblem(name));
    std::string_view rest = Trim(s.substr(pos));
    if (rest.empty() || rest.front() != '=') Fail(line, "expected '=' after the value name");
    rest = Trim(rest.substr(1));
    if (!haveKey_) {
      if (currentKey_.empty()) Fail(line, "value line before any [key] line");
      return;  // values under a [-key] section are ignored, as the editor does
    }
    if (rest == "-") {
      operations_.push_back(DeleteValueOp{currentKey_, name});
      return;
    }
    operations_.push_back(SetValueOp{currentKey_, name, ParseData(line, rest)});
  }

  Value ParseData(size_t line, std::string_view data) const {
    if (data.empty()) Fail(line, "missing value data after '='");
    if (data.front() == '"') {
      size_t pos = 0;
      std::u16string textValue = QuotedString(line, data, pos);
      if (!Trim(data.substr(pos)).empty()) Fail(line, "unexpected text after the closing quote");
      return Value{REG_SZ, Utf16Bytes(textValue, true)};
    }
    if (StartsWithNoCase(data, "dword:")) {
      std::string_view digits = Trim(data.substr(6));
      if (digits.empty() || digits.size() > 8) {
        Fail(line, "dword value needs 1 to 8 hexadecimal digits");
      }
      uint32_t value = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) Fail(line, "dword value has a non-hexadecimal digit '" + std::string(1, c) + "'");
        value = value << 4 | static_cast<uint32_t>(d);
      }
      return Value{REG_DWORD, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
    }
    if (StartsWithNoCase(data, "hex")) return ParseHex(line, data.substr(3));
    Fail(line, "unrecognised value data \"" + std::string(data) +
                   "\" (expected \"string\", dword:, hex: or hex(type):)");
  }

  Value ParseHex(size_t line, std::string_view s) const {
    ULONG type = REG_BINARY;
    if (!s.empty() && s.front() == '(') {
      size_t close = s.find(')');
      if (close == std::string_view::npos || close == 1 || close > 9) {
        Fail(line, "hex(type) needs 1 to 8 hexadecimal digits");
      }
      type = 0;
      for (char c : s.substr(1, close - 1)) {
        int d = HexDigit(c);
        if (d < 0) Fail(line, "hex(type) needs a hexadecimal type number");
        type = type << 4 | static_cast<ULONG>(d);
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != ':') Fail(line, "expected ':' after hex");
    s.remove_prefix(1);
    std::vector<uint8_t> bytes;
    std::string_view rest = Trim(s);
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view item = Trim(rest.substr(0, comma));
      if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 ||
          (item.size() == 2 && HexDigit(item[1]) < 0)) {
        Fail(line, "malformed hex byte \"" + std::string(item) + "\"");
      }
      bytes.push_back(static_cast<uint8_t>(item.size() == 2 ? HexDigit(item[0]) * 16 + HexDigit(item[1])
                                                            : HexDigit(item[0])));
      if (comma == std::string_view::npos) break;
      rest = Trim(rest.substr(comma + 1));
      if (rest.empty()) Fail(line, "trailing ',' after the last hex byte");
    }
    if (!unicode_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
      // The older format stores string data as single-byte characters.
      std::string narrow(bytes.begin(), bytes.end());
      bytes = Utf16Bytes(rtl::FromUtf8(narrow), false);
    }
    return Value{type, std::move(bytes)};
  }

  std::string_view source_;
  std::string text_;
  std::vector<std::string_view> lines_;
  std::vector<Operation> operations_;
  std::u16string currentKey_;
  bool haveKey_ = false;
  bool unicode_ = true;
};

void Apply(std::vector<Operation> operations) {
  auto lock = store::Lock();
  // The values of a [key] section all go to one key: it is looked up once.
  std::u16string_view lastPath;
  store::Key* lastKey = nullptr;
  auto keyOf = [&](const std::u16string& path) {
    if (lastKey == nullptr || path != lastPath) lastKey = store::FindOrCreate(path), lastPath = path;
    return lastKey;
  };
  for (auto& operation : operations) {
    if (auto* create = std::get_if<CreateKeyOp>(&operation)) {
      keyOf(create->path);
    } else if (auto* removeKey = std::get_if<DeleteKeyOp>(&operation)) {
      store::Delete(removeKey->path);
      lastKey = nullptr;
    } else if (auto* set = std::get_if<SetValueOp>(&operation)) {
      keyOf(set->path)->SetValue(set->name, std::move(set->value));
    } else if (auto* removeValue = std::get_if<DeleteValueOp>(&operation)) {
      if (store::Key* key = store::Find(removeValue->path)) key->RemoveValue(removeValue->name);
    }
  }
}

}  // namespace

void LoadRegText(std::string_view text, std::string_view sourceName) {
  Parser parser(sourceName, AsUtf8(text, sourceName));
  Apply(parser.Parse());
}

namespace {

// The whole content of `file`. What keeps it from being read is named, never taken for an
// empty file: a missing file, a directory, one that cannot be opened or whose reading fails.
// Anything else that reads as a file is taken (a pipe: --reg <(...)), up to kMaxFileBytes.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

std::string ReadWholeFile(const std::filesystem::path& file) {
  auto refuse = [&file](const std::string& problem) { return RegFileError(file.string(), 0, problem); };
  struct stat info;
  if (stat(file.c_str(), &info) != 0) {
    throw refuse(errno == ENOENT ? "no such file" : "cannot be looked at: " + std::string(std::strerror(errno)));
  }
  if (S_ISDIR(info.st_mode)) throw refuse("is a directory, not a .reg file");
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw refuse("cannot be opened: " + std::string(std::strerror(errno)));
  std::string contents;
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0 && contents.size() + static_cast<size_t>(got) > kMaxFileBytes) {
      close(fd);
      throw refuse("is larger than 1 GiB, more than the host reads as a .reg file");
    } else if (got > 0) {
      contents.append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      const int error = got == 0 ? 0 : errno;
      close(fd);
      if (error != 0) throw refuse("cannot be read: " + std::string(std::strerror(error)));
      return contents;
    }
  }
}

}  // namespace

void LoadRegFile(const std::filesystem::path& file) { LoadRegText(ReadWholeFile(file), file.string()); }

}  // namespace host::registry
