// Counted UTF-16 strings of the run-time library. Lengths are in bytes; a terminating zero is
// written after the characters only where the buffer has room for it. Case-insensitive
// comparisons fold ASCII letters.
#include "kernel.h"

namespace {

constexpr USHORT kLargestLength = 0xFFFC;

size_t CharacterCount(PCWSTR text) {
  size_t count = 0;
  while (text[count] != 0) ++count;
  return count;
}

WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

void TerminateIfRoom(PUNICODE_STRING string) {
  if (string->Length + sizeof(WCHAR) <= string->MaximumLength) {
    string->Buffer[string->Length / sizeof(WCHAR)] = 0;
  }
}

// Appends `bytes` bytes of characters, or nothing when they do not fit.
NTSTATUS AppendCharacters(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  RtlMoveMemory(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source,
                bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = CharacterCount(SourceString) * sizeof(WCHAR);
  if (bytes > kLargestLength) bytes = kLargestLength;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendCharacters(Destination, Source, CharacterCount(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  return AppendCharacters(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[32];
  size_t count = 0;
  do {
    const ULONG digit = Value % Base;
    digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
    Value /= Base;
  } while (Value != 0);
  if (count * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < count; ++i) String->Buffer[i] = digits[count - 1 - i];
  String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  TerminateIfRoom(String);
  return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
  bytes &= static_cast<USHORT>(~1u);
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  TerminateIfRoom(DestinationString);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  const size_t count1 = String1->Length / sizeof(WCHAR);
  const size_t count2 = String2->Length / sizeof(WCHAR);
  const size_t common = count1 < count2 ? count1 : count2;
  for (size_t i = 0; i < common; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(const UNICODE_STRING* String1, const UNICODE_STRING* String2,
                                    BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

}  // extern "C"
