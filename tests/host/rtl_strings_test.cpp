// Counted UTF-16 strings of the run-time library as the driver builds names and numbers.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "kernel.h"

namespace {

std::u16string Text(const UNICODE_STRING& string) {
  return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// A counted string over a fixed buffer pre-filled with a marker, to see what was written.
struct Buffer {
  WCHAR chars[64];
  UNICODE_STRING string;
  explicit Buffer(USHORT capacityBytes) {
    for (WCHAR& c : chars) c = u'#';
    string.Buffer = chars;
    string.Length = 0;
    string.MaximumLength = capacityBytes;
  }
};

TEST(RtlStrings, InitCountsCharactersWithRoomForTheTerminator) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, u"\\Device\\vxserial0");
  EXPECT_EQ(std::tuple(string.Length, string.MaximumLength), std::tuple(USHORT{17 * 2}, USHORT{18 * 2}));
  RtlInitUnicodeString(&string, nullptr);
  EXPECT_EQ(std::tuple(string.Length, string.MaximumLength, string.Buffer), std::tuple(USHORT{0}, USHORT{0}, nullptr));
}

// An append writes the terminator only when there is room for it, and one that does not fit
// writes nothing.
TEST(RtlStrings, AppendWritesWhatFitsWithATerminatorWhenThereIsRoom) {
  Buffer exact(6);
  EXPECT_EQ(RtlAppendUnicodeToString(&exact.string, u"COM"), STATUS_SUCCESS);
  EXPECT_EQ(Text(exact.string), u"COM");
  EXPECT_EQ(exact.chars[3], u'#');
  Buffer buffer(8);
  RtlAppendUnicodeToString(&buffer.string, u"CO");
  EXPECT_EQ(buffer.chars[2], 0);
  EXPECT_EQ(RtlAppendUnicodeToString(&buffer.string, u"M12"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(buffer.string), u"CO");
  EXPECT_EQ(buffer.chars[3], u'#');
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, u"M12");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&buffer.string, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer.string.Length, 4);
  RtlInitUnicodeString(&tail, u"M1");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&buffer.string, &tail), STATUS_SUCCESS);
  EXPECT_EQ(Text(buffer.string), u"COM1");
}

// A rendering replaces the contents; digits that exactly fill the buffer get no terminator,
// and digits that do not fit overflow with nothing written.
TEST(RtlStrings, IntegerRendersInEachBaseAndOverflowsWhenTheDigitsDoNotFit) {
  Buffer buffer(10);  // the driver's number string: four digits and a terminator
  RtlAppendUnicodeToString(&buffer.string, u"old");
  const std::tuple<ULONG, ULONG, std::u16string> cases[] = {
      {519, 10, u"519"}, {0xBEEF, 16, u"BEEF"}, {8, 8, u"10"}, {5, 2, u"101"}, {0, 0, u"0"}, {9999, 10, u"9999"}};
  for (const auto& [value, base, text] : cases) {
    EXPECT_EQ(RtlIntegerToUnicodeString(value, base, &buffer.string), STATUS_SUCCESS) << value;
    EXPECT_EQ(Text(buffer.string), text);
    EXPECT_EQ(buffer.chars[text.size()], 0) << value;
  }
  EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &buffer.string), STATUS_SUCCESS);
  EXPECT_EQ(Text(buffer.string), u"12345");
  EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &buffer.string), STATUS_INVALID_PARAMETER);
  Buffer large(64);
  EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &large.string), STATUS_SUCCESS);
  EXPECT_EQ(Text(large.string), u"4294967295");
  Buffer small(4);
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &small.string), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(small.string.Length, 0);
  EXPECT_EQ(small.chars[0], u'#');
}

TEST(RtlStrings, CopyTruncatesToTheDestination) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"vxserial12");
  Buffer small(8);
  RtlCopyUnicodeString(&small.string, &source);
  EXPECT_EQ(Text(small.string), u"vxse");
  EXPECT_EQ(small.chars[4], u'#');
  Buffer large(64);
  RtlCopyUnicodeString(&large.string, &source);
  EXPECT_EQ(Text(large.string), u"vxserial12");
  EXPECT_EQ(large.chars[10], 0);
  RtlCopyUnicodeString(&large.string, nullptr);
  EXPECT_EQ(large.string.Length, 0);
}

// The sign of the comparison; equal exactly when it is zero.
TEST(RtlStrings, CompareAndEqualFoldAsciiCaseOnRequest) {
  const std::tuple<const char16_t*, const char16_t*, BOOLEAN, int> cases[] = {
      {u"\\DosDevices\\COM3", u"\\dosdevices\\com3", TRUE, 0},
      {u"\\DosDevices\\COM3", u"\\dosdevices\\com3", FALSE, -1},
      {u"\\DosDevices\\COM3", u"\\DosDevices\\COM", TRUE, 1},
      {u"\\DosDevices\\COM", u"\\DosDevices\\COM3", TRUE, -1},
      {u"\\DosDevices\\COM3", u"\\DOSDEVICES\\COM4", TRUE, -1}};
  for (const auto& [left, right, fold, sign] : cases) {
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, left);
    RtlInitUnicodeString(&b, right);
    const LONG compared = RtlCompareUnicodeString(&a, &b, fold);
    EXPECT_EQ((compared > 0) - (compared < 0), sign) << std::u16string(left).size() << " " << int(fold);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, fold) != 0, sign == 0);
  }
}

}  // namespace
