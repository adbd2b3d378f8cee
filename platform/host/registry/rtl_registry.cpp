// Registry run-time routines (RtlQueryRegistryValues, RtlWriteRegistryValue,
// RtlDeleteRegistryValue) over the host's registry tree. PASSIVE_LEVEL only. The tree lock is
// held only to find keys and copy values; query routines and pool calls run without it, so a
// query routine may itself use the registry.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/ke/irql_checks.h"
#include "host/registry/limits.h"
#include "host/registry/store.h"
#include "host/rtl/wide_text.h"
#include "kernel.h"

namespace {

using host::registry::Value;
namespace store = host::registry::store;

// The absolute path a RelativeTo / Path pair names, or nothing for an unusable pair.
std::optional<std::u16string> AbsolutePath(ULONG relativeTo, PCWSTR path) {
  if (relativeTo & RTL_REGISTRY_HANDLE) return std::nullopt;  // the host has no key handles
  std::u16string_view root;
  switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
      if (path == nullptr || path[0] != u'\\') return std::nullopt;
      return std::u16string(path);
    case RTL_REGISTRY_SERVICES:
      root = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
      break;
    case RTL_REGISTRY_CONTROL:
      root = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
      break;
    case RTL_REGISTRY_WINDOWS_NT:
      root = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
      break;
    case RTL_REGISTRY_DEVICEMAP:
      root = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";
      break;
    case RTL_REGISTRY_USER:
      root = u"\\REGISTRY\\USER\\.DEFAULT";
      break;
    default:
      return std::nullopt;
  }
  std::u16string full(root);
  if (path != nullptr && path[0] != 0) {
    full += u'\\';
    full += path;
  }
  return full;
}

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Byte length of a default given with DefaultLength 0: strings are measured up to their
// terminating zero (a multi-string up to its empty last string), terminator included.
ULONG DefaultLength(const RTL_QUERY_REGISTRY_TABLE& entry) {
  if (entry.DefaultLength != 0 || !IsStringType(entry.DefaultType)) return entry.DefaultLength;
  const WCHAR* chars = static_cast<const WCHAR*>(entry.DefaultData);
  size_t n = 0;
  if (entry.DefaultType == REG_MULTI_SZ) {
    while (chars[n] != 0 || chars[n + 1] != 0) ++n;
    n += 2;
  } else {
    while (chars[n] != 0) ++n;
    n += 1;
  }
  return static_cast<ULONG>(n * sizeof(WCHAR));
}

// A copy of one value taken under the tree lock.
struct Found {
  std::u16string name;
  Value value;
};

enum class KeyState { Missing, Present };

KeyState CopyValues(const std::u16string& keyPath, const PCWSTR name, std::vector<Found>& out) {
  auto lock = store::Lock();
  store::Key* key = store::Find(keyPath);
  if (key == nullptr) return KeyState::Missing;
  if (name == nullptr) {
    for (const auto& entry : key->values) out.push_back({entry.name, entry.item});
  } else if (Value* value = key->FindValue(name)) {
    out.push_back({std::u16string(name), *value});
  }
  return KeyState::Present;
}

// Stores string data into the UNICODE_STRING a direct entry names. A null Buffer gets a
// paged-pool buffer of the data's size (the caller frees it); a given buffer must hold it.
NTSTATUS StoreDirectString(PUNICODE_STRING target, ULONG type, const uint8_t* data, ULONG length) {
  const size_t chars = length / sizeof(WCHAR);
  const WCHAR* source = reinterpret_cast<const WCHAR*>(data);
  size_t used = chars;  // characters reported in Length
  if (type == REG_MULTI_SZ) {
    if (used > 0 && source[used - 1] == 0) --used;
  } else {
    for (size_t i = 0; i < chars; ++i) {
      if (source[i] == 0) {
        used = i;
        break;
      }
    }
  }
  const size_t needed = (used + 1) * sizeof(WCHAR);  // with one terminating zero
  if (needed > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
  if (target->Buffer == nullptr) {
    target->Buffer = static_cast<PWSTR>(ExAllocatePool(PagedPool, needed));
    if (target->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    target->MaximumLength = static_cast<USHORT>(needed);
  } else if (needed > target->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(target->Buffer, source, used * sizeof(WCHAR));
  target->Buffer[used] = 0;
  target->Length = static_cast<USHORT>(used * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// Stores non-string data for a direct entry: up to four bytes go straight into EntryContext;
// longer data needs a buffer that starts with its signed size (negative: data only; positive:
// length and type, then the data).
NTSTATUS StoreDirectData(PVOID entryContext, ULONG type, const uint8_t* data, ULONG length) {
  if (length <= sizeof(ULONG)) {
    if (length != 0) std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, entryContext, sizeof(size));
  auto* bytes = static_cast<uint8_t*>(entryContext);
  if (size < 0) {
    if (static_cast<ULONG>(-static_cast<int64_t>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(bytes, data, length);
    return STATUS_SUCCESS;
  }
  if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(bytes, &length, sizeof(ULONG));
  std::memcpy(bytes + sizeof(ULONG), &type, sizeof(ULONG));
  std::memcpy(bytes + 2 * sizeof(ULONG), data, length);
  return STATUS_SUCCESS;
}

// Hands one value (found or default) to a table entry.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string name, ULONG type,
                 const uint8_t* data, ULONG length, PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
    if (entry.EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsStringType(type)) {
      return StoreDirectString(static_cast<PUNICODE_STRING>(entry.EntryContext), type, data,
                               length);
    }
    return StoreDirectData(entry.EntryContext, type, data, length);
  }
  if (entry.QueryRoutine == nullptr) return STATUS_SUCCESS;
  if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    // Each string of a multi-string is passed on its own, as REG_SZ.
    const WCHAR* chars = reinterpret_cast<const WCHAR*>(data);
    size_t count = length / sizeof(WCHAR), i = 0;
    while (i < count && chars[i] != 0) {
      std::u16string part(chars + i);
      if (part.size() > count - i) part.resize(count - i);
      i += part.size() + 1;
      NTSTATUS status = entry.QueryRoutine(name.data(), REG_SZ, part.data(),
                                           static_cast<ULONG>((part.size() + 1) * sizeof(WCHAR)),
                                           context, entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  return entry.QueryRoutine(name.data(), type, const_cast<uint8_t*>(data), length, context,
                            entry.EntryContext);
}

NTSTATUS DeliverValues(const RTL_QUERY_REGISTRY_TABLE& entry, std::vector<Found>& values,
                       PVOID context) {
  static const uint8_t kNoData = 0;  // empty data is handed over, as the platform does, at a valid address
  for (auto& found : values) {
    const uint8_t* data = found.value.data.empty() ? &kNoData : found.value.data.data();
    NTSTATUS status = Deliver(entry, found.name, found.value.type, data,
                              static_cast<ULONG>(found.value.data.size()), context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// One table entry against the current key.
NTSTATUS QueryEntry(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& keyPath,
                    PVOID context) {
  std::vector<Found> values;
  if (CopyValues(keyPath, entry.Name, values) == KeyState::Missing) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!values.empty()) {
    NTSTATUS status = DeliverValues(entry, values, context);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
      auto lock = store::Lock();
      if (store::Key* key = store::Find(keyPath)) {
        for (const auto& found : values) key->RemoveValue(found.name);
      }
    }
    return status;
  }
  if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (entry.Name == nullptr) {
    if ((entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) && entry.QueryRoutine != nullptr) {
      return entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry.EntryContext);
    }
    return STATUS_SUCCESS;
  }
  if (entry.DefaultType == REG_NONE || entry.DefaultData == nullptr) return STATUS_SUCCESS;
  return Deliver(entry, std::u16string(entry.Name), entry.DefaultType,
                 static_cast<const uint8_t*>(entry.DefaultData), DefaultLength(entry), context);
}

bool KeyPresent(const std::u16string& path) {
  auto lock = store::Lock();
  return store::Find(path) != nullptr;
}

}  // namespace

extern "C" {

// Runs a query table against a key. Entries are processed in order; a SUBKEY entry moves
// the following entries to a subkey of the base key, TOPKEY back to the base key. The table
// ends at an entry with neither a query routine nor a name.
NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  (void)Environment;  // REG_EXPAND_SZ data is passed on unexpanded
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "REGISTRY_CALL_AT_RAISED_IRQL",
                              "RtlQueryRegistryValues");
  auto base = AbsolutePath(RelativeTo, Path);
  if (!base || QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  if (!KeyPresent(*base)) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string current = *base;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = *base;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      current = *base;
      if (entry->Name != nullptr) {
        current += u'\\';
        current += entry->Name;
      }
      if (!KeyPresent(current)) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr) continue;
      RTL_QUERY_REGISTRY_TABLE all = *entry;  // a subkey entry with a routine sees every value
      all.Name = nullptr;
      NTSTATUS status = QueryEntry(all, current, Context);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }
    NTSTATUS status = QueryEntry(*entry, current, Context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Writes one value, creating the key path if it does not exist.
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "REGISTRY_CALL_AT_RAISED_IRQL",
                              "RtlWriteRegistryValue");
  auto path = AbsolutePath(RelativeTo, Path);
  if (!path || (ValueData == nullptr && ValueLength != 0)) return STATUS_INVALID_PARAMETER;
  if (!host::registry::ValueNameProblem(host::rtl::View(ValueName)).empty()) {
    return STATUS_INVALID_PARAMETER;
  }
  const auto* bytes = static_cast<const uint8_t*>(ValueData);
  Value value{ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength)};
  auto lock = store::Lock();
  store::Key* key = store::FindOrCreate(*path);
  if (key == nullptr) return STATUS_OBJECT_NAME_INVALID;  // beyond the registry's limits
  key->SetValue(host::rtl::View(ValueName), std::move(value));
  return STATUS_SUCCESS;
}

// Deletes one value; a missing key or value is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "REGISTRY_CALL_AT_RAISED_IRQL",
                              "RtlDeleteRegistryValue");
  auto path = AbsolutePath(RelativeTo, Path);
  if (!path) return STATUS_INVALID_PARAMETER;
  auto lock = store::Lock();
  store::Key* key = store::Find(*path);
  if (key == nullptr || !key->RemoveValue(host::rtl::View(ValueName))) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
