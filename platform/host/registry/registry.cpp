// Host-side access to the registry tree (registry.h).
#include "host/registry/registry.h"

#include "host/registry/limits.h"
#include "host/registry/store.h"
#include "host/rtl/wide_text.h"

namespace host::registry {

namespace {

std::vector<uint8_t> StringBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::vector<std::string> Names(std::string_view path, bool subkeys) {
  std::vector<std::string> names;
  auto lock = store::Lock();
  store::Key* key = store::Find(rtl::FromUtf8(path));
  if (key == nullptr) return names;
  if (subkeys) {
    for (const auto& entry : key->subkeys) names.push_back(rtl::ToUtf8(entry.name));
  } else {
    for (const auto& entry : key->values) names.push_back(rtl::ToUtf8(entry.name));
  }
  return names;
}

// The key of that path, created if missing; throws for a path beyond the registry's limits.
store::Key* CreateLocked(std::string_view path) {
  const std::u16string wide = rtl::FromUtf8(path);
  store::Key* key = store::FindOrCreate(wide);
  if (key == nullptr) {
    const std::string shown = path.size() > 64 ? std::string(path.substr(0, 64)) + "..." : std::string(path);
    throw std::invalid_argument("registry key \"" + shown + "\" cannot be created: " + KeyPathProblem(wide));
  }
  return key;
}

}  // namespace

void Reset() {
  auto lock = store::Lock();
  store::ResetTree();
}

bool CreateKey(std::string_view path) {
  auto lock = store::Lock();
  if (store::Find(rtl::FromUtf8(path)) != nullptr) return false;
  CreateLocked(path);
  return true;
}

bool KeyExists(std::string_view path) {
  auto lock = store::Lock();
  return store::Find(rtl::FromUtf8(path)) != nullptr;
}

bool DeleteKey(std::string_view path) {
  auto lock = store::Lock();
  return store::Delete(rtl::FromUtf8(path));
}

std::vector<std::string> SubkeyNames(std::string_view path) { return Names(path, true); }

std::vector<std::string> ValueNames(std::string_view path) { return Names(path, false); }

void SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data) {
  const std::u16string wideName = rtl::FromUtf8(name);
  if (auto problem = ValueNameProblem(wideName); !problem.empty()) throw std::invalid_argument(problem);
  auto lock = store::Lock();
  CreateLocked(path)->SetValue(wideName, Value{type, std::vector<uint8_t>(data.begin(), data.end())});
}

void SetDword(std::string_view path, std::string_view name, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  SetValue(path, name, REG_DWORD, bytes);
}

void SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type) {
  SetValue(path, name, type, StringBytes(rtl::FromUtf8(value)));
}

void SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string>& strings) {
  std::vector<uint8_t> bytes;
  for (const auto& s : strings) {
    auto part = StringBytes(rtl::FromUtf8(s));
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  SetValue(path, name, REG_MULTI_SZ, bytes);
}

std::optional<Value> GetValue(std::string_view path, std::string_view name) {
  auto lock = store::Lock();
  store::Key* key = store::Find(rtl::FromUtf8(path));
  if (key == nullptr) return std::nullopt;
  Value* value = key->FindValue(rtl::FromUtf8(name));
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  return static_cast<uint32_t>(value->data[0]) | static_cast<uint32_t>(value->data[1]) << 8 |
         static_cast<uint32_t>(value->data[2]) << 16 | static_cast<uint32_t>(value->data[3]) << 24;
}

std::optional<std::string> GetString(std::string_view path, std::string_view name) {
  auto value = GetValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string wide;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    if (c == 0) break;
    wide.push_back(c);
  }
  return rtl::ToUtf8(wide);
}

bool DeleteValue(std::string_view path, std::string_view name) {
  auto lock = store::Lock();
  store::Key* key = store::Find(rtl::FromUtf8(path));
  return key != nullptr && key->RemoveValue(rtl::FromUtf8(name));
}

}  // namespace host::registry
