// Internal to the host: not for driver code, tests or tools.
// Conversions between the host's UTF-8 text (what tests, tools and files use) and the UTF-16
// counted strings driver code uses, and the case folding object and registry names compare by.
#pragma once

#include <string>
#include <string_view>

#include "host/ddk/ntdef.h"

namespace host::rtl {

// Each byte that does not begin a well-formed sequence becomes U+FFFD.
std::u16string FromUtf8(std::string_view utf8);
// An unpaired surrogate is written as the three bytes of its code unit.
std::string ToUtf8(std::u16string_view utf16);
// Offset of the first byte not part of well-formed UTF-8 (overlong forms, surrogates, code
// points above U+10FFFF and cut sequences are not), or npos when the whole text is.
size_t FirstInvalidUtf8(std::string_view utf8);
// Offset of the first surrogate that is not one of a pair, or npos when there is none.
size_t FirstUnpairedSurrogate(std::u16string_view utf16);

// The characters of a counted string (Length is in bytes); empty for a null string.
std::u16string_view View(const UNICODE_STRING* string);
// The characters of a zero-terminated UTF-16 string; empty for null.
std::u16string_view View(PCWSTR string);

// Upper-case form used as the key of case-insensitive name tables. Folds ASCII and the
// Latin-1 letters, which covers every name the system uses.
inline char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string Folded(std::u16string_view name);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace host::rtl
