// UTF-8 / UTF-16 conversion and case folding for names (see wide_text.h).
#include "host/rtl/wide_text.h"

namespace host::rtl {

namespace {

// Decodes the well-formed UTF-8 sequence that starts at s[i] and sets *length to its size, or
// sets *length to 0 when there is none: a stray continuation byte, a cut sequence, an overlong
// form (C0 8A for a newline), a surrogate, or a code point above U+10FFFF.
char32_t DecodeOne(std::string_view s, size_t i, size_t* length) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  *length = 0;
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  size_t extra = 0;
  char32_t code = 0;
  char32_t least = 0;  // the smallest code point the sequence's length may carry
  if (lead >= 0xC0 && lead < 0xE0) {
    extra = 1, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    extra = 2, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    extra = 3, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= extra; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
  *length = extra + 1;
  return code;
}

}  // namespace

size_t FirstInvalidUtf8(std::string_view utf8) {
  for (size_t i = 0, length = 0; i < utf8.size(); i += length) {
    DecodeOne(utf8, i, &length);
    if (length == 0) return i;
  }
  return std::string_view::npos;
}

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    size_t length = 0;
    char32_t code = DecodeOne(utf8, i, &length);
    if (length == 0) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

size_t FirstUnpairedSurrogate(std::u16string_view utf16) {
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      return i;
    }
  }
  return std::u16string_view::npos;
}

std::u16string_view View(const UNICODE_STRING* string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string_view View(PCWSTR string) {
  if (string == nullptr) return {};
  return std::u16string_view(string);
}

std::u16string Folded(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) c = Fold(c);
  return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

}  // namespace host::rtl
