// Counted UTF-16 strings of the run-time library as the driver builds names and numbers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "kernel.h"

namespace {

using namespace std::string_literals;

TEST(RtlStrings, InitCountsCharactersWithRoomForTheTerminator) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, u"\\Device\\vxserial0");
  EXPECT_EQ(std::tuple(string.Length, string.MaximumLength), std::tuple(USHORT{17 * 2}, USHORT{18 * 2}));
  RtlInitUnicodeString(&string, nullptr);
  EXPECT_EQ(std::tuple(string.Length, string.MaximumLength, string.Buffer), std::tuple(USHORT{0}, USHORT{0}, nullptr));
}

UNICODE_STRING Init(const char16_t* text) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, text);
  return string;
}

NTSTATUS Append(UNICODE_STRING* s, const char16_t* text) { return RtlAppendUnicodeToString(s, text); }
NTSTATUS AppendCounted(UNICODE_STRING* s, const char16_t* text) {
  UNICODE_STRING tail = Init(text);
  return RtlAppendUnicodeStringToString(s, &tail);
}
NTSTATUS Copy(UNICODE_STRING* s, const char16_t* text) {
  UNICODE_STRING source = Init(text);
  RtlCopyUnicodeString(s, text == nullptr ? nullptr : &source);
  return STATUS_SUCCESS;
}

// Each row writes into a counted string of `capacity` bytes over a buffer filled with '#' and
// expects the status, the string's text and what follows it in the buffer: the terminator
// only where there is room for it, and nothing at all written by a call that does not fit.
// A rendering replaces the contents; a copy truncates to the destination.
struct Row {
  USHORT capacity;
  std::function<NTSTATUS(UNICODE_STRING*)> write;
  NTSTATUS status;
  std::u16string text;
  std::u16string after;
};

TEST(RtlStrings, WritesFitTheDestinationWithATerminatorOnlyWhereThereIsRoom) {
  const std::u16string zero = u"\0#"s;
  const Row rows[] = {
      {6, [](auto s) { return Append(s, u"COM"); }, STATUS_SUCCESS, u"COM", u"#"},
      {8, [](auto s) { return Append(s, u"CO"); }, STATUS_SUCCESS, u"CO", zero},
      {8, [](auto s) { Append(s, u"CO"); return Append(s, u"M12"); }, STATUS_BUFFER_TOO_SMALL, u"CO", zero},
      {8, [](auto s) { Append(s, u"CO"); return AppendCounted(s, u"M12"); }, STATUS_BUFFER_TOO_SMALL, u"CO", zero},
      {8, [](auto s) { Append(s, u"CO"); return AppendCounted(s, u"M1"); }, STATUS_SUCCESS, u"COM1", u"#"},
      {10, [](auto s) { Append(s, u"old"); return RtlIntegerToUnicodeString(519, 10, s); }, STATUS_SUCCESS, u"519", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(0xBEEF, 16, s); }, STATUS_SUCCESS, u"BEEF", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(8, 8, s); }, STATUS_SUCCESS, u"10", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(5, 2, s); }, STATUS_SUCCESS, u"101", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(0, 0, s); }, STATUS_SUCCESS, u"0", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(9999, 10, s); }, STATUS_SUCCESS, u"9999", zero},
      {10, [](auto s) { return RtlIntegerToUnicodeString(12345, 10, s); }, STATUS_SUCCESS, u"12345", u"#"},
      {10, [](auto s) { return RtlIntegerToUnicodeString(1, 7, s); }, STATUS_INVALID_PARAMETER, u"", u"#"},
      {64, [](auto s) { return RtlIntegerToUnicodeString(4294967295u, 10, s); }, STATUS_SUCCESS, u"4294967295", zero},
      {4, [](auto s) { return RtlIntegerToUnicodeString(123, 10, s); }, STATUS_BUFFER_OVERFLOW, u"", u"#"},
      {8, [](auto s) { return Copy(s, u"vxserial12"); }, STATUS_SUCCESS, u"vxse", u"#"},
      {64, [](auto s) { return Copy(s, u"vxserial12"); }, STATUS_SUCCESS, u"vxserial12", zero},
      {64, [](auto s) { Copy(s, u"x"); return Copy(s, nullptr); }, STATUS_SUCCESS, u"", u"x"},
  };
  for (const Row& row : rows) {
    WCHAR chars[64];
    std::fill(std::begin(chars), std::end(chars), u'#');
    UNICODE_STRING string{0, row.capacity, chars};
    const NTSTATUS status = row.write(&string);
    const std::u16string text(string.Buffer, string.Length / sizeof(WCHAR));
    EXPECT_EQ(std::tuple(status, text, std::u16string(chars + text.size(), row.after.size())),
              std::tuple(row.status, row.text, row.after))
        << "into " << row.capacity << " bytes: " << std::string(row.text.begin(), row.text.end());
  }
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
    UNICODE_STRING a = Init(left);
    UNICODE_STRING b = Init(right);
    const LONG compared = RtlCompareUnicodeString(&a, &b, fold);
    EXPECT_EQ((compared > 0) - (compared < 0), sign) << std::u16string(left).size() << " " << int(fold);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, fold) != 0, sign == 0);
  }
}

}  // namespace
