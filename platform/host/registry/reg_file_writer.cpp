// Writing the registry tree as a .reg text in the 5.00 format, loadable again by the reader.
// Keys are written parents first, children in creation order, without recursion, so a tree of
// any depth is written with a constant stack.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "host/registry/reg_file_format.h"
#include "host/registry/registry.h"
#include "host/registry/store.h"

namespace host::registry {
namespace {

using format::kRoots;

std::string Quoted(std::u16string_view s) {
  std::string out = "\"";
  for (char c : rtl::ToUtf8(s)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// The characters of well-formed REG_SZ data (one terminating zero at the end, nothing a
// quoted string cannot hold), or nothing when only the hex form can carry it.
std::optional<std::u16string> PlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string s;
  for (size_t i = 0; i < data.size(); i += 2) s.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  if (s.back() != 0) return std::nullopt;
  s.pop_back();
  if (!format::Quotable(s)) return std::nullopt;
  return s;
}

void WriteHex(std::string& out, size_t column, const std::vector<uint8_t>& data) {
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof(byte), "%02x", data[i]);
    out += byte;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column >= 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
}

[[noreturn]] void RefuseName(const char* what, std::u16string_view name, const std::string& hivePath) {
  throw std::invalid_argument(std::string(what) + " \"" + rtl::ToUtf8(name) + "\" of [" + hivePath +
                              "] has a control character or an unpaired surrogate in its name, "
                              "which a .reg file cannot hold");
}

void WriteValue(std::string& out, const std::string& hivePath, const std::u16string& name,
                const Value& value) {
  if (!format::Quotable(name)) RefuseName("value", name, hivePath);
  size_t start = out.size();
  out += name.empty() ? std::string("@") : Quoted(name);
  out += '=';
  if (value.type == REG_SZ) {
    if (auto s = PlainString(value.data)) {
      out += Quoted(*s) + "\n";
      return;
    }
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    char digits[16];
    uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                 static_cast<uint32_t>(value.data[3]) << 24;
    std::snprintf(digits, sizeof(digits), "dword:%08x", v);
    out += digits;
    out += '\n';
    return;
  }
  if (value.type == REG_BINARY) {
    out += "hex:";
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof(prefix), "hex(%x):", static_cast<unsigned>(value.type));
    out += prefix;
  }
  WriteHex(out, out.size() - start, value.data);
  out += '\n';
}

// Writes the key and everything below it, depth first with a stack of its own.
void WriteTree(std::string& out, const std::string& rootHivePath, const store::Key& root) {
  std::vector<std::pair<std::string, const store::Key*>> pending{{rootHivePath, &root}};
  while (!pending.empty()) {
    auto [hivePath, key] = std::move(pending.back());
    pending.pop_back();
    out += "[" + hivePath + "]\n";
    for (const auto& entry : key->values) WriteValue(out, hivePath, entry.name, entry.item);
    out += '\n';
    for (auto child = key->subkeys.rbegin(); child != key->subkeys.rend(); ++child) {
      if (!format::Quotable(child->name)) RefuseName("key", child->name, hivePath);
      pending.emplace_back(hivePath + "\\" + rtl::ToUtf8(child->name), child->item.get());
    }
  }
}

// The .reg spelling of an absolute tree path ("\REGISTRY\MACHINE\X" -> "HKEY_LOCAL_MACHINE\X").
std::string HivePath(std::string_view path) {
  while (path.size() > 1 && path.back() == '\\') path.remove_suffix(1);
  for (const auto& root : kRoots) {
    if (format::StartsWithNoCase(path, root.path) &&
        (path.size() == root.path.size() || path[root.path.size()] == '\\')) {
      return std::string(root.hive) + std::string(path.substr(root.path.size()));
    }
  }
  throw std::invalid_argument("registry path \"" + std::string(path) +
                              "\" is not below \\REGISTRY\\MACHINE or \\REGISTRY\\USER");
}

}  // namespace

std::string SaveRegText(std::string_view root) {
  std::string hive = HivePath(root);
  std::string out = std::string(format::kHeader5) + "\n\n";
  auto lock = store::Lock();
  if (const store::Key* key = store::Find(rtl::FromUtf8(root))) {
    // The key's own spelling is kept; the root part comes from the caller's path.
    WriteTree(out, hive, *key);
  }
  return out;
}

void SaveRegFile(const std::filesystem::path& file, std::string_view root) {
  std::string contents = SaveRegText(root);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw RegFileError(file.string(), 0, "cannot be written: " + std::string(std::strerror(errno)));
}

}  // namespace host::registry
