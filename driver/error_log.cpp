// The driver's entries in the system error log.
#include "driver/error_log.h"

ULONG CompareAddressRanges(LONGLONG startA, ULONG lengthA, LONGLONG startB, ULONG lengthB) {
  if (startA == startB) return 0;
  LONGLONG lower = startA < startB ? startA : startB;
  LONGLONG higher = startA < startB ? startB : startA;
  ULONG lowerLength = startA < startB ? lengthA : lengthB;
  ULONGLONG distance = (ULONGLONG)higher - (ULONGLONG)lower;
  if (distance > 0xFFFFFFFFull) return 2;
  return distance < lowerLength ? 1 : 2;
}

VOID LogDriverError(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                    LONGLONG firstAddress, LONGLONG secondAddress, ULONG sequenceNumber,
                    UCHAR majorFunctionCode, UCHAR retryCount, ULONG uniqueErrorValue,
                    NTSTATUS finalStatus, NTSTATUS errorCode, ULONG firstInsertLength,
                    const VOID* firstInsert, ULONG secondInsertLength, const VOID* secondInsert) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  PVOID object = deviceObject != NULL ? (PVOID)deviceObject : (PVOID)driverObject;
  USHORT dumpSize = 0;
  if (CompareAddressRanges(firstAddress, 1, 0, 1) != 0) dumpSize += 8;
  if (CompareAddressRanges(secondAddress, 1, 0, 1) != 0) dumpSize += 8;
  ULONG total = sizeof(IO_ERROR_LOG_PACKET) + dumpSize + firstInsertLength + secondInsertLength;
  // The platform's size argument is 8-bit: an entry that does not fit is not logged, rather
  // than allocated short and written past its end.
  if (total > 0xFF) return;
  UCHAR entrySize = (UCHAR)total;

  auto entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(object, entrySize);
  if (entry == NULL) return;
  entry->ErrorCode = errorCode;
  entry->SequenceNumber = sequenceNumber;
  entry->MajorFunctionCode = majorFunctionCode;
  entry->RetryCount = retryCount;
  entry->UniqueErrorValue = uniqueErrorValue;
  entry->FinalStatus = finalStatus;
  entry->DumpDataSize = dumpSize;

  PUCHAR cursor = (PUCHAR)entry->DumpData;
  if (dumpSize >= 8) {
    RtlCopyMemory(cursor, &firstAddress, 8);
    cursor += 8;
  }
  if (dumpSize == 16) {
    RtlCopyMemory(cursor, &secondAddress, 8);
    cursor += 8;
  }
  if (firstInsert != NULL && firstInsertLength != 0) {
    entry->NumberOfStrings = 1;
    entry->StringOffset = (USHORT)(cursor - (PUCHAR)entry);
    RtlCopyMemory(cursor, firstInsert, firstInsertLength);
    cursor += firstInsertLength;
    if (secondInsert != NULL && secondInsertLength != 0) {
      entry->NumberOfStrings = 2;
      RtlCopyMemory(cursor, secondInsert, secondInsertLength);
    }
  }
  IoWriteErrorLogEntry(entry);
}
