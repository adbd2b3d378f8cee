// The registry's size limits (limits.h).
#include "host/registry/limits.h"

#include "host/registry/store.h"

namespace host::registry {
namespace {

constexpr size_t kRootLevels = 2;  // \REGISTRY and the hive

std::string TooLong(const std::string& what, size_t length, size_t limit) {
  return what + " is " + std::to_string(length) + " characters long; the registry allows " +
         std::to_string(limit);
}

}  // namespace

std::string KeyPathProblem(std::u16string_view path) {
  const auto parts = store::SplitPath(path);
  if (parts.size() > kRootLevels + kMaxKeyLevels) {
    return "the key is " + std::to_string(parts.size() - kRootLevels) +
           " levels deep; the registry allows " + std::to_string(kMaxKeyLevels);
  }
  size_t length = 0;
  for (auto part : parts) {
    if (part.size() > kMaxKeyNameLength) {
      return TooLong("the key name \"" + rtl::ToUtf8(part.substr(0, 16)) + "...\"", part.size(),
                     kMaxKeyNameLength);
    }
    length += 1 + part.size();
  }
  return length > kMaxKeyPathLength ? TooLong("the key's path", length, kMaxKeyPathLength) : "";
}

std::string ValueNameProblem(std::u16string_view name) {
  return name.size() > kMaxValueNameLength ? TooLong("the value name", name.size(), kMaxValueNameLength) : "";
}

}  // namespace host::registry
