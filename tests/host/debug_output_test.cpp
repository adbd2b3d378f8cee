// DbgPrint as the driver uses it: the kernel's conversion sizes and string kinds, kept in the
// host's debug buffer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "host/rtl/debug_output.h"
#include "kernel.h"

namespace {

TEST(DebugOutput, ConversionsHaveTheKernelsSizesAndStringKindsAndTextIsKeptInOrder) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\vxserial0");
  name.Length = 8 * sizeof(WCHAR);  // counted strings end at their length, not at a zero
  char ansiText[] = "COM3xyz";
  ANSI_STRING ansi{4, 8, ansiText};
  const LONG negative = -5;
  const ULONG big = 0xFFFFFFFFu;
  const ULONGLONG wide = 0x123456789ULL;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { DbgPrint("one %d\n", 1); DbgPrint("two\n"); }, "one 1\ntwo\n"},
      // 'l' is 32 bits in the kernel; a following argument must not be swallowed.
      {[&] { DbgPrint("%ld %lu %lx|%u %d|%I64x %llu|%08X|%-4d|%hd", negative, big, big, 7u, -7, wide, wide, 0xABCu, 3, 70000); },
       "-5 4294967295 ffffffff|7 -7|123456789 4886718345|00000ABC|3   |4464"},
      {[&] { DbgPrint("[%s] [%ws] [%wZ] [%Z] [%S] [%c] [%5s] [%.2s] [%%]", "tessacom", u"COM3", &name, &ansi, u"wide", 'x', "ab", "abcdef"); },
       "[tessacom] [COM3] [\\Device\\] [COM3] [wide] [x] [   ab] [ab] [%]"},
      {[] { DbgPrint("%s %ws %wZ", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr),
                     static_cast<const UNICODE_STRING*>(nullptr)); },
       "(null) (null) (null)"},
  };
  for (const auto& [print, expected] : cases) {
    host::rtl::ClearDebugOutput();
    print();
    EXPECT_EQ(host::rtl::DebugOutput(), expected);
  }
}

}  // namespace
