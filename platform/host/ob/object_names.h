// The object namespace of the host: device names and symbolic links, one case-insensitive
// table. "\??\X" is the same name as "\DosDevices\X". Links point at a name, resolved when
// something is opened through them, so a link may outlive its target or point at nothing yet.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/ddk/io.h"

namespace host::ob {

// ---- for the I/O manager (UTF-16, the names driver code passes) ----

// The canonical spelling of a name as given to ZwCreateFile, IoCreateSymbolicLink or an
// application's open: "COM3" and "\\.\COM3" and "\??\COM3" all become "\DosDevices\COM3";
// names that start with one backslash are kept.
std::u16string Canonical(std::u16string_view name);

NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDevice(std::u16string_view name);
NTSTATUS InsertLink(std::u16string_view link, std::u16string_view target);
NTSTATUS RemoveLink(std::u16string_view link);
// The device a name leads to, following links; null if the chain ends nowhere.
PDEVICE_OBJECT ResolveDevice(std::u16string_view name);
// Links (canonical names) whose target is one of the given device names.
std::vector<std::u16string> LinksTo(const std::vector<std::u16string>& deviceNames);

// ---- for tests and programs (UTF-8) ----

enum class Kind { Device, SymbolicLink };
struct Entry {
  std::string name;    // as created
  Kind kind;
  std::string target;  // a link's target; for a device, the name of its driver
};

// Makes a link as another driver would (a COM name already owned elsewhere).
NTSTATUS CreateLink(std::string_view link, std::string_view target);
NTSTATUS DeleteLink(std::string_view link);
std::optional<std::string> LinkTarget(std::string_view link);
bool Exists(std::string_view name);
// Every name, sorted case-insensitively; and a printable listing, one name a line:
// "\DosDevices\COM3 -> \Device\vxserial0" or "\Device\vxserial0 (device of \Driver\tessacom)".
std::vector<Entry> List();
std::string Listing();
// Removes every symbolic link (device names stay with their devices).
void RemoveAllLinks();

}  // namespace host::ob
