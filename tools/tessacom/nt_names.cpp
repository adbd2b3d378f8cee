#include "nt_names.h"

#include <cstdio>

#include "host/ddk/ntddser.h"

namespace tessacom {
namespace {

#define SERIAL_CODE(name) {IOCTL_SERIAL_##name, #name}
#define STATUS(name) {static_cast<uint32_t>(STATUS_##name), "STATUS_" #name}

// The two configuration codes have no macro in either home's serial header.
constexpr uint32_t kGetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr uint32_t kSetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);

constexpr NamedNumber kControlCodes[] = {
    SERIAL_CODE(SET_BAUD_RATE),     SERIAL_CODE(SET_QUEUE_SIZE),   SERIAL_CODE(SET_LINE_CONTROL),
    SERIAL_CODE(SET_BREAK_ON),      SERIAL_CODE(SET_BREAK_OFF),    SERIAL_CODE(IMMEDIATE_CHAR),
    SERIAL_CODE(SET_TIMEOUTS),      SERIAL_CODE(GET_TIMEOUTS),     SERIAL_CODE(SET_DTR),
    SERIAL_CODE(CLR_DTR),           SERIAL_CODE(RESET_DEVICE),     SERIAL_CODE(SET_RTS),
    SERIAL_CODE(CLR_RTS),           SERIAL_CODE(SET_XOFF),         SERIAL_CODE(SET_XON),
    SERIAL_CODE(GET_WAIT_MASK),     SERIAL_CODE(SET_WAIT_MASK),    SERIAL_CODE(WAIT_ON_MASK),
    SERIAL_CODE(PURGE),             SERIAL_CODE(GET_BAUD_RATE),    SERIAL_CODE(GET_LINE_CONTROL),
    SERIAL_CODE(GET_CHARS),         SERIAL_CODE(SET_CHARS),        SERIAL_CODE(GET_HANDFLOW),
    SERIAL_CODE(SET_HANDFLOW),      SERIAL_CODE(GET_MODEMSTATUS),  SERIAL_CODE(GET_COMMSTATUS),
    SERIAL_CODE(XOFF_COUNTER),      SERIAL_CODE(GET_PROPERTIES),   SERIAL_CODE(GET_DTRRTS),
    SERIAL_CODE(LSRMST_INSERT),     SERIAL_CODE(CONFIG_SIZE),      {kGetCommConfig, "GET_COMMCONFIG"},
    {kSetCommConfig, "SET_COMMCONFIG"}, SERIAL_CODE(GET_STATS),    SERIAL_CODE(CLEAR_STATS),
    SERIAL_CODE(GET_MODEM_CONTROL), SERIAL_CODE(SET_MODEM_CONTROL), SERIAL_CODE(SET_FIFO_CONTROL),
};

// The public FILE_INFORMATION_CLASS, numbered from 1 in this order.
constexpr const char* kClassNames[] = {
    "FileDirectoryInformation", "FileFullDirectoryInformation", "FileBothDirectoryInformation",
    "FileBasicInformation", "FileStandardInformation", "FileInternalInformation",
    "FileEaInformation", "FileAccessInformation", "FileNameInformation",
    "FileRenameInformation", "FileLinkInformation", "FileNamesInformation",
    "FileDispositionInformation", "FilePositionInformation", "FileFullEaInformation",
    "FileModeInformation", "FileAlignmentInformation", "FileAllInformation",
    "FileAllocationInformation", "FileEndOfFileInformation", "FileAlternateNameInformation",
    "FileStreamInformation", "FilePipeInformation", "FilePipeLocalInformation",
    "FilePipeRemoteInformation", "FileMailslotQueryInformation", "FileMailslotSetInformation",
    "FileCompressionInformation", "FileObjectIdInformation", "FileCompletionInformation",
    "FileMoveClusterInformation", "FileQuotaInformation", "FileReparsePointInformation",
    "FileNetworkOpenInformation", "FileAttributeTagInformation", "FileTrackingInformation",
    "FileIdBothDirectoryInformation", "FileIdFullDirectoryInformation",
    "FileValidDataLengthInformation", "FileShortNameInformation",
};

constexpr NamedNumber kStatuses[] = {
    STATUS(SUCCESS),           STATUS(TIMEOUT),
    STATUS(PENDING),           STATUS(BUFFER_OVERFLOW),
    STATUS(UNSUCCESSFUL),      STATUS(NOT_IMPLEMENTED),
    STATUS(INVALID_INFO_CLASS), STATUS(INFO_LENGTH_MISMATCH),
    STATUS(INVALID_HANDLE),    STATUS(INVALID_PARAMETER),
    STATUS(NO_SUCH_DEVICE),    STATUS(INVALID_DEVICE_REQUEST),
    STATUS(ACCESS_DENIED),     STATUS(BUFFER_TOO_SMALL),
    STATUS(OBJECT_TYPE_MISMATCH), STATUS(OBJECT_NAME_INVALID),
    STATUS(OBJECT_NAME_NOT_FOUND), STATUS(OBJECT_NAME_COLLISION),
    STATUS(OBJECT_PATH_NOT_FOUND), STATUS(SHARING_VIOLATION),
    STATUS(INSUFFICIENT_RESOURCES), STATUS(NOT_A_DIRECTORY),
    STATUS(CANCELLED),         STATUS(FILES_OPEN),
    STATUS(INVALID_ADDRESS),   STATUS(SERIAL_NO_DEVICE_INITED),
    STATUS(NETWORK_UNREACHABLE), STATUS(HOST_UNREACHABLE),
    STATUS(ADDRESS_ALREADY_EXISTS), STATUS(CONNECTION_RESET),
    STATUS(LOCAL_DISCONNECT),
};

struct ClassTable {
  NamedNumber entries[std::size(kClassNames)];
  constexpr ClassTable() : entries() {
    for (uint32_t i = 0; i < std::size(kClassNames); i++) entries[i] = {i + 1, kClassNames[i]};
  }
};
constexpr ClassTable kClasses;

static_assert(kClasses.entries[FileBasicInformation - 1].number == FileBasicInformation);
static_assert(kClasses.entries[FileStandardInformation - 1].number == FileStandardInformation);
static_assert(kClasses.entries[FilePositionInformation - 1].number == FilePositionInformation);
static_assert(kClasses.entries[FileAllocationInformation - 1].number == FileAllocationInformation);
static_assert(kClasses.entries[FileEndOfFileInformation - 1].number == FileEndOfFileInformation);

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<uint32_t> Find(std::span<const NamedNumber> table, std::string_view name) {
  for (const NamedNumber& entry : table) {
    if (SameName(entry.name, name)) return entry.number;
  }
  return std::nullopt;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::span<const NamedNumber> ControlCodes() { return kControlCodes; }
std::span<const NamedNumber> InformationClasses() { return kClasses.entries; }
std::span<const NamedNumber> Statuses() { return kStatuses; }

std::optional<uint32_t> ControlCodeByName(std::string_view name) {
  constexpr std::string_view prefix = "IOCTL_SERIAL_";
  if (name.size() > prefix.size() && SameName(name.substr(0, prefix.size()), prefix)) {
    name.remove_prefix(prefix.size());
  }
  return Find(kControlCodes, name);
}

std::optional<uint32_t> InformationClassByName(std::string_view name) {
  return Find(kClasses.entries, name);
}

std::string StatusName(NTSTATUS status) {
  for (const NamedNumber& entry : kStatuses) {
    if (entry.number == static_cast<uint32_t>(status)) return entry.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace tessacom
