// Names made of a prefix and a decimal number: device names, COM links, registry value names.
#include "port/numbered_name.h"

NTSTATUS BuildNumberedName(PUNICODE_STRING out, PCWSTR prefix, ULONG value, PUNICODE_STRING number) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  number->Length = 0;
  NTSTATUS status = RtlIntegerToUnicodeString(value, 10, number);
  out->Length = 0;
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(out, prefix);
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeStringToString(out, number);
  if (!NT_SUCCESS(status)) out->Length = 0;
  TerminateString(out);
  return status;
}

VOID TerminateString(PUNICODE_STRING string) { string->Buffer[string->Length / sizeof(WCHAR)] = 0; }
