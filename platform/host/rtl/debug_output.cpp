// DbgPrint: the kernel's printf. Conversions follow the kernel's sizes (a plain or 'l' integer
// is 32 bits, 'll' and 'I64' are 64, 'I' is pointer-sized), %s/%hs take narrow strings,
// %ws/%ls/%S wide ones, %Z a counted narrow string and %wZ a counted wide one. The text is
// kept for host::rtl::DebugOutput and echoed to standard error when TESSACOM_DBGPRINT is 1.
#include "host/rtl/debug_output.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "kernel.h"

namespace host::rtl {

namespace {

// The arguments of a variadic call in the kernel's convention: on the x64 image host the
// Microsoft x64 one, whose argument list differs from the host's own.
#if defined(TESSACOM_X64_IMAGE_HOST)
typedef __builtin_ms_va_list KernelArguments;
#define KERNEL_VA_START __builtin_ms_va_start
#define KERNEL_VA_END __builtin_ms_va_end
#else
typedef va_list KernelArguments;
#define KERNEL_VA_START va_start
#define KERNEL_VA_END va_end
#endif

constexpr size_t kKeptBytes = size_t{1} << 20;

struct DebugLog {
  std::mutex mutex;
  std::string text;
};

DebugLog& Log() {
  static auto* log = new DebugLog;
  return *log;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16 to UTF-8; `count` characters, or up to the terminating zero when count is npos.
std::string Narrow(const WCHAR* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && (count != std::string::npos || text[i] != 0); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < count && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, code);
  }
  return out;
}

enum class Size { Default, Short, Long, LongLong, Pointer };

struct Directive {
  std::string flags;
  int width = -1;
  int precision = -1;
  Size size = Size::Default;
  bool wide = false;
  bool narrow = false;
  char conversion = 0;
};

std::string PrintfPrefix(const Directive& directive) {
  std::string format = "%" + directive.flags;
  if (directive.width >= 0) format += std::to_string(directive.width);
  if (directive.precision >= 0) format += "." + std::to_string(directive.precision);
  return format;
}

template <typename... Args>
std::string Formatted(const std::string& format, Args... args) {
  char small[128];
  const int needed = std::snprintf(small, sizeof small, format.c_str(), args...);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small) return small;
  std::string big(static_cast<size_t>(needed) + 1, '\0');
  std::snprintf(big.data(), big.size(), format.c_str(), args...);
  big.resize(static_cast<size_t>(needed));
  return big;
}

std::string FormatString(const Directive& directive, const std::string& text) {
  return Formatted(PrintfPrefix(directive) + "s", text.c_str());
}

// Parses the conversion after a '%' at format[i]; returns the index past it.
size_t ParseDirective(const char* format, size_t i, KernelArguments& args, Directive* directive) {
  while (std::strchr("-+ #0", format[i]) != nullptr && format[i] != 0) directive->flags += format[i++];
  if (format[i] == '*') {
    directive->width = va_arg(args, int);
    if (directive->width < 0) {
      directive->flags += '-';
      directive->width = -directive->width;
    }
    ++i;
  } else {
    while (format[i] >= '0' && format[i] <= '9') {
      directive->width = (directive->width < 0 ? 0 : directive->width * 10) + (format[i++] - '0');
    }
  }
  if (format[i] == '.') {
    ++i;
    directive->precision = 0;
    if (format[i] == '*') {
      directive->precision = va_arg(args, int);
      ++i;
    } else {
      while (format[i] >= '0' && format[i] <= '9') directive->precision = directive->precision * 10 + (format[i++] - '0');
    }
  }
  for (bool more = true; more;) {
    if (std::strncmp(format + i, "I64", 3) == 0) {
      directive->size = Size::LongLong;
      i += 3;
    } else if (std::strncmp(format + i, "I32", 3) == 0) {
      directive->size = Size::Long;
      i += 3;
    } else if (format[i] == 'I' || format[i] == 'z') {
      directive->size = Size::Pointer;
      ++i;
    } else if (format[i] == 'l') {
      directive->size = directive->size == Size::Long ? Size::LongLong : Size::Long;
      directive->wide = true;
      ++i;
    } else if (format[i] == 'h') {
      directive->size = Size::Short;
      directive->narrow = true;
      ++i;
    } else if (format[i] == 'w') {
      directive->wide = true;
      ++i;
    } else {
      more = false;
    }
  }
  directive->conversion = format[i];
  return format[i] != 0 ? i + 1 : i;
}

std::string FormatOne(const Directive& directive, KernelArguments& args) {
  const std::string prefix = PrintfPrefix(directive);
  switch (directive.conversion) {
    case 'd':
    case 'i': {
      long long value = 0;
      switch (directive.size) {
        case Size::LongLong: value = va_arg(args, long long); break;
        case Size::Pointer: value = va_arg(args, LONG_PTR); break;
        case Size::Short: value = static_cast<short>(va_arg(args, int)); break;
        default: value = va_arg(args, int); break;
      }
      return Formatted(prefix + "ll" + directive.conversion, value);
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      unsigned long long value = 0;
      switch (directive.size) {
        case Size::LongLong: value = va_arg(args, unsigned long long); break;
        case Size::Pointer: value = va_arg(args, ULONG_PTR); break;
        case Size::Short: value = static_cast<unsigned short>(va_arg(args, unsigned)); break;
        default: value = va_arg(args, unsigned); break;
      }
      return Formatted(prefix + "ll" + directive.conversion, value);
    }
    case 'p':
      return Formatted(prefix + "p", va_arg(args, void*));
    case 'c':
    case 'C': {
      const unsigned code = va_arg(args, unsigned);
      std::string text;
      AppendUtf8(text, (directive.conversion == 'C' || directive.wide) ? (code & 0xFFFF) : (code & 0xFF));
      return FormatString(directive, text);
    }
    case 's':
    case 'S': {
      const bool wide = directive.conversion == 'S' ? !directive.narrow : directive.wide;
      if (wide) {
        const WCHAR* text = va_arg(args, const WCHAR*);
        return FormatString(directive, text != nullptr ? Narrow(text, std::string::npos) : "(null)");
      }
      const char* text = va_arg(args, const char*);
      return FormatString(directive, text != nullptr ? text : "(null)");
    }
    case 'Z': {
      if (directive.wide) {
        const UNICODE_STRING* text = va_arg(args, const UNICODE_STRING*);
        return FormatString(directive, text != nullptr && text->Buffer != nullptr
                                      ? Narrow(text->Buffer, text->Length / sizeof(WCHAR))
                                      : "(null)");
      }
      const ANSI_STRING* text = va_arg(args, const ANSI_STRING*);
      return FormatString(directive, text != nullptr && text->Buffer != nullptr
                                    ? std::string(text->Buffer, text->Length)
                                    : "(null)");
    }
    case '%':
      return "%";
    default:
      return {};
  }
}

std::string FormatKernel(const char* format, KernelArguments& args) {
  std::string out;
  for (size_t i = 0; format[i] != 0;) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    Directive directive;
    i = ParseDirective(format, i + 1, args, &directive);
    out += FormatOne(directive, args);
  }
  return out;
}

bool EchoWanted() {
  const char* setting = std::getenv("TESSACOM_DBGPRINT");
  return setting != nullptr && std::strcmp(setting, "1") == 0;
}

}  // namespace

std::string DebugOutput() {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> guard(log.mutex);
  return log.text;
}

void ClearDebugOutput() {
  DebugLog& log = Log();
  std::lock_guard<std::mutex> guard(log.mutex);
  log.text.clear();
}

}  // namespace host::rtl

extern "C" ULONG KERNEL_CDECL DbgPrint(PCSTR Format, ...) {
  host::rtl::KernelArguments args;
  KERNEL_VA_START(args, Format);
  const std::string text = host::rtl::FormatKernel(Format, args);
  KERNEL_VA_END(args);
  {
    host::rtl::DebugLog& log = host::rtl::Log();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.text += text;
    if (log.text.size() > host::rtl::kKeptBytes) {
      log.text.erase(0, log.text.size() - host::rtl::kKeptBytes / 2);
    }
  }
  if (host::rtl::EchoWanted()) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
  return STATUS_SUCCESS;
}
