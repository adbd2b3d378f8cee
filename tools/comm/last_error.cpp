// The thread's last error and the translation of completion statuses into error codes.
#include "last_error.h"

namespace comm {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct Translation {
  NTSTATUS status;
  DWORD error;
  const char* name;
};

constexpr Translation kTranslations[] = {
    {STATUS_PENDING, ERROR_IO_PENDING, "ERROR_IO_PENDING"},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, "ERROR_MORE_DATA"},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"},
    {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY, "ERROR_DIRECTORY"},
    {STATUS_FILES_OPEN, ERROR_OPEN_FILES, "ERROR_OPEN_FILES"},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
};

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

DWORD ErrorFromStatus(NTSTATUS status) {
  if (status == STATUS_SUCCESS || status == STATUS_TIMEOUT) return ERROR_SUCCESS;
  for (const Translation& t : kTranslations) {
    if (t.status == status) return t.error;
  }
  return ERROR_MR_MID_NOT_FOUND;
}

const char* ErrorName(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_MR_MID_NOT_FOUND: return "ERROR_MR_MID_NOT_FOUND";
    case ERROR_IO_INCOMPLETE: return "ERROR_IO_INCOMPLETE";
    default: break;
  }
  for (const Translation& t : kTranslations) {
    if (t.error == error) return t.name;
  }
  return "an error code";
}

}  // namespace comm
