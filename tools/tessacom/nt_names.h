// The platform's numbers by name, as the program reads and shows them: the serial
// device-control codes, the file information classes and the statuses. Lookups ignore case.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/ddk/ntdef.h"

namespace tessacom {

struct NamedNumber {
  uint32_t number;
  const char* name;
};

// IOCTL_SERIAL_* codes of the public serial interface, named without the prefix.
std::span<const NamedNumber> ControlCodes();
// FILE_INFORMATION_CLASS values.
std::span<const NamedNumber> InformationClasses();
// Statuses the driver and the host complete requests or fail loads with.
std::span<const NamedNumber> Statuses();

// Whether two names are the same, ignoring the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b);

// "IOCTL_SERIAL_SET_BAUD_RATE" or "SET_BAUD_RATE".
std::optional<uint32_t> ControlCodeByName(std::string_view name);
// "FileStandardInformation".
std::optional<uint32_t> InformationClassByName(std::string_view name);
// "STATUS_TIMEOUT"; a status without a name as "0xC00000AB".
std::string StatusName(NTSTATUS status);

}  // namespace tessacom
