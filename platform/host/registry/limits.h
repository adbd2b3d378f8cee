// Private to platform/host/registry.
// The sizes beyond which the platform's registry refuses names and keys, applied to the host's
// tree: a key name (one component of a path) of at most 255 characters; at most 512 levels of
// keys below a hive's root (\REGISTRY\MACHINE, \REGISTRY\USER); a whole path that fits a
// counted string (a UNICODE_STRING's Length is a USHORT count of bytes: 32,767 characters);
// a value name of at most 16,383 characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host::registry {

inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyLevels = 512;
inline constexpr size_t kMaxKeyPathLength = 32767;
inline constexpr size_t kMaxValueNameLength = 16383;

// What puts an absolute key path ("\REGISTRY\MACHINE\...") beyond the limits, in words, or
// empty when it is within them.
std::string KeyPathProblem(std::u16string_view path);
std::string ValueNameProblem(std::u16string_view name);

}  // namespace host::registry
