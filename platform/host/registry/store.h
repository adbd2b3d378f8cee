// Private to platform/host/registry.
// The registry tree behind registry.h and the run-time routines. Callers hold
// the tree lock (Lock()) for every access and never call out of the host while holding it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/registry/registry.h"

namespace host::registry::store {

struct Key {
  std::u16string name;
  std::vector<std::unique_ptr<Key>> subkeys;            // in creation order
  std::vector<std::pair<std::u16string, Value>> values;  // in creation order

  Key* Subkey(std::u16string_view child);
  Key* AddSubkey(std::u16string_view child);
  bool RemoveSubkey(std::u16string_view child);
  Value* FindValue(std::u16string_view valueName);
  void SetValue(std::u16string_view valueName, Value value);
  bool RemoveValue(std::u16string_view valueName);
};

std::unique_lock<std::mutex> Lock();

// The path's components; empty components (doubled or leading backslashes) are skipped.
std::vector<std::u16string_view> SplitPath(std::u16string_view path);

// Resolution from the tree's root with absolute paths such as u"\\REGISTRY\\MACHINE\\...".
Key* Find(std::u16string_view path);
Key* FindOrCreate(std::u16string_view path);
// The key below base named by a relative path (which may itself have several components).
Key* FindBelow(Key* base, std::u16string_view relativePath);
Key* FindOrCreateBelow(Key* base, std::u16string_view relativePath);
bool Delete(std::u16string_view path);

}  // namespace host::registry::store
