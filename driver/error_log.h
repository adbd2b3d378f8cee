// The driver's entries in the system error log.
#pragma once

#include "port/port_record.h"

// Error code of the one entry the driver logs: memory for device creation ran out.
constexpr NTSTATUS SERIAL_INSUFFICIENT_RESOURCES_CODE = (NTSTATUS)0xC0060008L;
constexpr ULONG DEVICE_CREATION_UNIQUE_VALUE = 9;

// Writes one entry against the device object (or the driver object when none is given): the
// non-zero addresses as dump data, then the inserts. An entry larger than the platform's 8-bit
// size is not logged.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID LogDriverError(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject,
                    LONGLONG firstAddress, LONGLONG secondAddress, ULONG sequenceNumber,
                    UCHAR majorFunctionCode, UCHAR retryCount, ULONG uniqueErrorValue,
                    NTSTATUS finalStatus, NTSTATUS errorCode, ULONG firstInsertLength,
                    const VOID* firstInsert, ULONG secondInsertLength, const VOID* secondInsert);

// 0 when the starts are equal, 1 when the ranges overlap, 2 when they are disjoint.
ULONG CompareAddressRanges(LONGLONG startA, ULONG lengthA, LONGLONG startB, ULONG lengthB);
