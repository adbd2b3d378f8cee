// The object namespace (object_names.h): one table of device names and symbolic links keyed
// by the folded canonical name, under its own lock. Passive level only for changes.
#include "host/ob/object_names.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "host/ke/irql_checks.h"
#include "host/rtl/wide_text.h"
#include "kernel.h"

namespace host::ob {
namespace {

constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";
constexpr int kMaximumLinkDepth = 16;

struct Name {
  std::u16string spelling;  // canonical, with the case it was created with
  Kind kind;
  PDEVICE_OBJECT device = nullptr;  // Kind::Device
  std::u16string target;            // Kind::SymbolicLink, canonical
};

std::mutex tableLock;
std::map<std::u16string, Name>& Table() {
  static std::map<std::u16string, Name> table;
  return table;
}

bool HasPrefixNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && rtl::EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::string DriverNameOf(PDEVICE_OBJECT device) {
  if (device == nullptr || device->DriverObject == nullptr) return "?";
  return rtl::ToUtf8(rtl::View(&device->DriverObject->DriverName));
}

}  // namespace

std::u16string Canonical(std::u16string_view name) {
  if (HasPrefixNoCase(name, u"\\??\\")) return std::u16string(kDosDevices) + std::u16string(name.substr(4));
  if (HasPrefixNoCase(name, u"\\\\.\\")) return std::u16string(kDosDevices) + std::u16string(name.substr(4));
  if (!name.empty() && name.front() == u'\\') return std::u16string(name);
  return std::u16string(kDosDevices) + std::u16string(name);
}

NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device) {
  std::u16string canonical = Canonical(name);
  std::lock_guard lock(tableLock);
  auto [it, inserted] = Table().try_emplace(rtl::Folded(canonical));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second = Name{canonical, Kind::Device, device, {}};
  return STATUS_SUCCESS;
}

void RemoveDevice(std::u16string_view name) {
  std::lock_guard lock(tableLock);
  auto it = Table().find(rtl::Folded(Canonical(name)));
  if (it != Table().end() && it->second.kind == Kind::Device) Table().erase(it);
}

NTSTATUS InsertLink(std::u16string_view link, std::u16string_view target) {
  if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::u16string canonical = Canonical(link);
  std::lock_guard lock(tableLock);
  auto [it, inserted] = Table().try_emplace(rtl::Folded(canonical));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second = Name{canonical, Kind::SymbolicLink, nullptr, Canonical(target)};
  return STATUS_SUCCESS;
}

NTSTATUS RemoveLink(std::u16string_view link) {
  std::lock_guard lock(tableLock);
  auto it = Table().find(rtl::Folded(Canonical(link)));
  if (it == Table().end() || it->second.kind != Kind::SymbolicLink) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  Table().erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT ResolveDevice(std::u16string_view name) {
  std::lock_guard lock(tableLock);
  std::u16string current = Canonical(name);
  for (int depth = 0; depth < kMaximumLinkDepth; ++depth) {
    auto it = Table().find(rtl::Folded(current));
    if (it == Table().end()) return nullptr;
    if (it->second.kind == Kind::Device) return it->second.device;
    current = it->second.target;
  }
  return nullptr;  // a cycle of links
}

std::vector<std::u16string> LinksTo(const std::vector<std::u16string>& deviceNames) {
  std::vector<std::u16string> folded;
  for (const auto& device : deviceNames) folded.push_back(rtl::Folded(Canonical(device)));
  std::vector<std::u16string> links;
  std::lock_guard lock(tableLock);
  for (const auto& [key, entry] : Table()) {
    if (entry.kind == Kind::SymbolicLink &&
        std::find(folded.begin(), folded.end(), rtl::Folded(entry.target)) != folded.end()) {
      links.push_back(entry.spelling);
    }
  }
  return links;
}

NTSTATUS CreateLink(std::string_view link, std::string_view target) {
  return InsertLink(rtl::FromUtf8(link), rtl::FromUtf8(target));
}

NTSTATUS DeleteLink(std::string_view link) { return RemoveLink(rtl::FromUtf8(link)); }

std::optional<std::string> LinkTarget(std::string_view link) {
  std::lock_guard lock(tableLock);
  auto it = Table().find(rtl::Folded(Canonical(rtl::FromUtf8(link))));
  if (it == Table().end() || it->second.kind != Kind::SymbolicLink) return std::nullopt;
  return rtl::ToUtf8(it->second.target);
}

bool Exists(std::string_view name) {
  std::lock_guard lock(tableLock);
  return Table().count(rtl::Folded(Canonical(rtl::FromUtf8(name)))) != 0;
}

std::vector<Entry> List() {
  std::vector<Entry> entries;
  std::lock_guard lock(tableLock);
  for (const auto& [key, entry] : Table()) {
    entries.push_back(Entry{rtl::ToUtf8(entry.spelling), entry.kind,
                            entry.kind == Kind::Device ? DriverNameOf(entry.device)
                                                       : rtl::ToUtf8(entry.target)});
  }
  return entries;
}

std::string Listing() {
  std::string out;
  for (const auto& entry : List()) {
    out += entry.name;
    out += entry.kind == Kind::Device ? " (device of " + entry.target + ")" : " -> " + entry.target;
    out += '\n';
  }
  return out;
}

void RemoveAllLinks() {
  std::lock_guard lock(tableLock);
  std::erase_if(Table(), [](const auto& item) { return item.second.kind == Kind::SymbolicLink; });
}

}  // namespace host::ob

extern "C" {

// Makes SymbolicLinkName point at DeviceName; an existing name of either kind collides.
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoCreateSymbolicLink");
  return host::ob::InsertLink(host::rtl::View(SymbolicLinkName), host::rtl::View(DeviceName));
}

// Removes a symbolic link; STATUS_OBJECT_NAME_NOT_FOUND when there is none of that name.
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoDeleteSymbolicLink");
  return host::ob::RemoveLink(host::rtl::View(SymbolicLinkName));
}

}  // extern "C"
