// DbgPrint as the driver uses it: the kernel's conversion sizes and string kinds, kept in the
// host's debug buffer.
#include <gtest/gtest.h>

#include "host/rtl/debug_output.h"
#include "kernel.h"

namespace {

TEST(DebugOutput, KeepsFormattedTextInOrder) {
  host::ClearDebugOutput();
  DbgPrint("one %d\n", 1);
  DbgPrint("two\n");
  EXPECT_EQ(host::DebugOutput(), "one 1\ntwo\n");
  host::ClearDebugOutput();
  EXPECT_EQ(host::DebugOutput(), "");
}

TEST(DebugOutput, IntegersHaveTheKernelsSizes) {
  host::ClearDebugOutput();
  const LONG negative = -5;
  const ULONG big = 0xFFFFFFFFu;
  const ULONGLONG wide = 0x123456789ULL;
  // 'l' is 32 bits in the kernel; a following argument must not be swallowed.
  DbgPrint("%ld %lu %lx|%u %d|%I64x %llu|%08X|%-4d|%hd", negative, big, big, 7u, -7, wide, wide,
           0xABCu, 3, 70000);
  EXPECT_EQ(host::DebugOutput(),
            "-5 4294967295 ffffffff|7 -7|123456789 4886718345|00000ABC|3   |4464");
}

TEST(DebugOutput, NarrowWideAndCountedStrings) {
  host::ClearDebugOutput();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\vxserial0");
  name.Length = 8 * sizeof(WCHAR);  // counted strings end at their length, not at a zero
  char ansiText[] = "COM3xyz";
  ANSI_STRING ansi{4, 8, ansiText};
  DbgPrint("[%s] [%ws] [%wZ] [%Z] [%S] [%c] [%5s] [%.2s] [%%]", "tessacom", u"COM3", &name,
           &ansi, u"wide", 'x', "ab", "abcdef");
  EXPECT_EQ(host::DebugOutput(),
            "[tessacom] [COM3] [\\Device\\] [COM3] [wide] [x] [   ab] [ab] [%]");
}

TEST(DebugOutput, NullStringsArePrintedAsNull) {
  host::ClearDebugOutput();
  DbgPrint("%s %ws %wZ", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr),
           static_cast<const UNICODE_STRING*>(nullptr));
  EXPECT_EQ(host::DebugOutput(), "(null) (null) (null)");
}

}  // namespace
