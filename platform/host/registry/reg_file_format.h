// Private to platform/host/registry.
// What the .reg reader and writer share: the headers, the root keys and their spellings, and
// which names a file can hold.
#pragma once

#include <cctype>
#include <string_view>

#include "host/rtl/wide_text.h"

namespace host::registry::format {

inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kHeader4 = "REGEDIT4";

struct RootName {
  std::string_view hive;  // as written in .reg files
  std::string_view path;  // in the tree
};
inline constexpr RootName kRoots[] = {{"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"},
                                      {"HKEY_USERS", "\\REGISTRY\\USER"}};

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Whether a name or string can stand in a file as quoted text (or a key name in brackets): a
// control character would break or change its line, and an unpaired surrogate has no UTF-8
// form.
inline bool Quotable(std::u16string_view name) {
  for (char16_t c : name) {
    if (c < 0x20) return false;
  }
  return rtl::FirstUnpairedSurrogate(name) == std::u16string_view::npos;
}

}  // namespace host::registry::format
