// Private to platform/host/registry.
// The registry tree behind registry.h and the run-time routines. Callers hold the tree lock
// (Lock()) for every access and never call out of the host while holding it. No key is
// created beyond the platform's limits (limits.h), and nothing here recurses on a tree's depth.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "host/registry/named_entries.h"
#include "host/registry/registry.h"

namespace host::registry::store {

struct Key {
  NamedEntries<std::unique_ptr<Key>> subkeys;
  NamedEntries<Value> values;

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  // Takes the subtree apart one key at a time, however deep it is.
  ~Key();

  Key* Subkey(std::u16string_view child);
  Key* AddSubkey(std::u16string_view child);
  bool RemoveSubkey(std::u16string_view child) { return subkeys.Remove(child); }
  Value* FindValue(std::u16string_view valueName) { return values.Find(valueName); }
  void SetValue(std::u16string_view valueName, Value value);
  bool RemoveValue(std::u16string_view valueName) { return values.Remove(valueName); }
};

std::unique_lock<std::mutex> Lock();

// The path's components; empty components (doubled or leading backslashes) are skipped.
std::vector<std::u16string_view> SplitPath(std::u16string_view path);

// Resolution from the tree's root with absolute paths such as u"\\REGISTRY\\MACHINE\\...".
Key* Find(std::u16string_view path);
// Null, creating nothing, for a path beyond the platform's limits (KeyPathProblem).
Key* FindOrCreate(std::u16string_view path);
bool Delete(std::u16string_view path);
// Empties the tree, leaving only the well-known keys.
void ResetTree();

}  // namespace host::registry::store
