// The calling thread's last error, as the platform keeps it for its communications calls: a
// call that fails returns FALSE and leaves a system error code here; the code of a refusal by
// the driver is its completion status translated by ErrorFromStatus.
#pragma once

#include "comm_types.h"
#include "host/ddk/ntdef.h"

namespace comm {

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_OPEN_FILES = 2401;

DWORD GetLastError();
void SetLastError(DWORD error);

// The system error code of a completion status: the statuses this driver and the host's I/O
// manager complete with, each as the platform translates it; ERROR_MR_MID_NOT_FOUND for any
// other, as the platform answers for a status it has no translation of.
DWORD ErrorFromStatus(NTSTATUS status);

// The symbolic name of an error code ("ERROR_INVALID_PARAMETER"), for messages to people.
const char* ErrorName(DWORD error);

}  // namespace comm
