// The registry tree (store.h): keys with their subkeys and values in creation order, names
// compared without regard to case, one lock over the whole tree.
#include "host/registry/store.h"

#include "host/registry/limits.h"

namespace host::registry::store {
namespace {

std::mutex treeLock;

Key* FindOrCreateBelow(Key* base, std::u16string_view relativePath) {
  Key* key = base;
  for (auto part : SplitPath(relativePath)) key = key->AddSubkey(part);
  return key;
}

void AddWellKnownKeys(Key& root) {
  for (auto path : {kServices, kControl, kDeviceMap}) FindOrCreateBelow(&root, rtl::FromUtf8(path));
}

Key& Root() {
  static Key root;
  static const bool filled = (AddWellKnownKeys(root), true);
  (void)filled;
  return root;
}

}  // namespace

Key::~Key() {
  std::vector<std::unique_ptr<Key>> pending;
  auto takeSubkeys = [&pending](Key& key) {
    for (auto& entry : key.subkeys.TakeAll()) pending.push_back(std::move(entry.item));
  };
  takeSubkeys(*this);
  while (!pending.empty()) {
    std::unique_ptr<Key> key = std::move(pending.back());
    pending.pop_back();
    takeSubkeys(*key);
  }  // each key is destroyed here without subkeys of its own
}

Key* Key::Subkey(std::u16string_view child) {
  auto* found = subkeys.Find(child);
  return found != nullptr ? found->get() : nullptr;
}

Key* Key::AddSubkey(std::u16string_view child) {
  std::unique_ptr<Key>& key = subkeys.FindOrAdd(child);
  if (!key) key = std::make_unique<Key>();
  return key.get();
}

void Key::SetValue(std::u16string_view valueName, Value value) {
  values.FindOrAdd(valueName) = std::move(value);
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

Key* Find(std::u16string_view path) {
  Key* key = &Root();
  for (auto part : SplitPath(path)) {
    key = key->Subkey(part);
    if (key == nullptr) break;
  }
  return key;
}

Key* FindOrCreate(std::u16string_view path) {
  if (!KeyPathProblem(path).empty()) return nullptr;
  return FindOrCreateBelow(&Root(), path);
}

bool Delete(std::u16string_view path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  Key* parent = &Root();
  for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) parent = parent->Subkey(parts[i]);
  return parent != nullptr && parent->RemoveSubkey(parts.back());
}

void ResetTree() {
  Key& root = Root();
  root.subkeys.TakeAll();  // destroyed as one list of keys, each taking its subtree apart
  root.values.TakeAll();
  AddWellKnownKeys(root);
}

}  // namespace host::registry::store
