// The registry tree and its host-side access (registry.h): keys with ordered subkeys and
// values, names compared case-insensitively, one lock over the whole tree.
#include "host/registry/registry.h"

#include <algorithm>

#include "host/registry/store.h"
#include "host/rtl/wide_text.h"

namespace host::registry {
namespace store {
namespace {

std::mutex treeLock;

void AddWellKnownKeys(Key& root) {
  for (auto path : {kServices, kControl, kDeviceMap}) {
    FindOrCreateBelow(&root, text::FromUtf8(path));
  }
}

Key& Root() {
  static Key root = [] {
    Key initial;
    AddWellKnownKeys(initial);
    return initial;
  }();
  return root;
}

}  // namespace

Key* Key::Subkey(std::u16string_view child) {
  for (auto& key : subkeys) {
    if (text::EqualNoCase(key->name, child)) return key.get();
  }
  return nullptr;
}

Key* Key::AddSubkey(std::u16string_view child) {
  if (Key* existing = Subkey(child)) return existing;
  subkeys.push_back(std::make_unique<Key>());
  subkeys.back()->name = std::u16string(child);
  return subkeys.back().get();
}

bool Key::RemoveSubkey(std::u16string_view child) {
  auto it = std::find_if(subkeys.begin(), subkeys.end(),
                         [&](const auto& key) { return text::EqualNoCase(key->name, child); });
  if (it == subkeys.end()) return false;
  subkeys.erase(it);
  return true;
}

Value* Key::FindValue(std::u16string_view valueName) {
  for (auto& [name, value] : values) {
    if (text::EqualNoCase(name, valueName)) return &value;
  }
  return nullptr;
}

void Key::SetValue(std::u16string_view valueName, Value value) {
  if (Value* existing = FindValue(valueName)) {
    *existing = std::move(value);
    return;
  }
  values.emplace_back(std::u16string(valueName), std::move(value));
}

bool Key::RemoveValue(std::u16string_view valueName) {
  auto it = std::find_if(values.begin(), values.end(), [&](const auto& entry) {
    return text::EqualNoCase(entry.first, valueName);
  });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(treeLock); }

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

Key* FindBelow(Key* base, std::u16string_view relativePath) {
  Key* key = base;
  for (auto part : SplitPath(relativePath)) {
    if (key == nullptr) break;
    key = key->Subkey(part);
  }
  return key;
}

Key* FindOrCreateBelow(Key* base, std::u16string_view relativePath) {
  Key* key = base;
  for (auto part : SplitPath(relativePath)) key = key->AddSubkey(part);
  return key;
}

Key* Find(std::u16string_view path) { return FindBelow(&Root(), path); }

Key* FindOrCreate(std::u16string_view path) { return FindOrCreateBelow(&Root(), path); }

bool Delete(std::u16string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  Key* parent = &Root();
  for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) {
    parent = parent->Subkey(parts[i]);
  }
  return parent != nullptr && parent->RemoveSubkey(parts.back());
}

}  // namespace store

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
  store::Key* key = store::Find(text::FromUtf8(path));
  if (key == nullptr) return names;
  if (subkeys) {
    for (const auto& child : key->subkeys) names.push_back(text::ToUtf8(child->name));
  } else {
    for (const auto& [name, value] : key->values) names.push_back(text::ToUtf8(name));
  }
  return names;
}

}  // namespace

void Reset() {
  auto lock = store::Lock();
  store::Key* root = store::Find(u"");
  root->subkeys.clear();
  root->values.clear();
  store::AddWellKnownKeys(*root);
}

bool CreateKey(std::string_view path) {
  auto lock = store::Lock();
  auto wide = text::FromUtf8(path);
  if (store::Find(wide) != nullptr) return false;
  store::FindOrCreate(wide);
  return true;
}

bool KeyExists(std::string_view path) {
  auto lock = store::Lock();
  return store::Find(text::FromUtf8(path)) != nullptr;
}

bool DeleteKey(std::string_view path) {
  auto lock = store::Lock();
  return store::Delete(text::FromUtf8(path));
}

std::vector<std::string> SubkeyNames(std::string_view path) { return Names(path, true); }

std::vector<std::string> ValueNames(std::string_view path) { return Names(path, false); }

void SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data) {
  auto lock = store::Lock();
  store::FindOrCreate(text::FromUtf8(path))
      ->SetValue(text::FromUtf8(name), Value{type, std::vector<uint8_t>(data.begin(), data.end())});
}

void SetDword(std::string_view path, std::string_view name, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  SetValue(path, name, REG_DWORD, bytes);
}

void SetString(std::string_view path, std::string_view name, std::string_view value, ULONG type) {
  SetValue(path, name, type, StringBytes(text::FromUtf8(value)));
}

void SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string>& strings) {
  std::vector<uint8_t> bytes;
  for (const auto& s : strings) {
    auto part = StringBytes(text::FromUtf8(s));
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  bytes.push_back(0);
  bytes.push_back(0);
  SetValue(path, name, REG_MULTI_SZ, bytes);
}

std::optional<Value> GetValue(std::string_view path, std::string_view name) {
  auto lock = store::Lock();
  store::Key* key = store::Find(text::FromUtf8(path));
  if (key == nullptr) return std::nullopt;
  Value* value = key->FindValue(text::FromUtf8(name));
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
  return text::ToUtf8(wide);
}

bool DeleteValue(std::string_view path, std::string_view name) {
  auto lock = store::Lock();
  store::Key* key = store::Find(text::FromUtf8(path));
  return key != nullptr && key->RemoveValue(text::FromUtf8(name));
}

}  // namespace host::registry
