// The host's registry: one in-memory tree of keys and values shared by the run-time routines
// the driver calls (RtlQueryRegistryValues, RtlWriteRegistryValue, RtlDeleteRegistryValue) and
// by tests and programs, which fill it, inspect it, and load and save it as .reg text files.
//
// Paths are absolute ("\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\tessacom"); key
// and value names compare case-insensitively and keep the case they were created with. The
// default value of a key has the empty name. Every routine here is thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/ddk/rtl_registry.h"

namespace host::registry {

inline constexpr std::string_view kMachine = "\\REGISTRY\\MACHINE";
inline constexpr std::string_view kServices =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr std::string_view kControl =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
inline constexpr std::string_view kDeviceMap = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;  // strings as UTF-16LE with their terminating zero
};

// Empties the tree, leaving only the well-known keys (Services, Control, DEVICEMAP).
void Reset();

// Creates the key and any missing parent; true if the key did not exist before. Throws
// std::invalid_argument for a path beyond the registry's limits (limits.h).
bool CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
// Deletes the key with everything below it; false if it did not exist.
bool DeleteKey(std::string_view path);
std::vector<std::string> SubkeyNames(std::string_view path);
std::vector<std::string> ValueNames(std::string_view path);

// Setting a value creates its key path if needed and replaces a value of that name. Throws
// std::invalid_argument, as CreateKey does, and for a value name beyond the limits.
void SetValue(std::string_view path, std::string_view name, ULONG type,
              std::span<const uint8_t> data);
void SetDword(std::string_view path, std::string_view name, uint32_t value);
// Stored as UTF-16 with the terminating zero, as the platform keeps REG_SZ data.
void SetString(std::string_view path, std::string_view name, std::string_view value,
               ULONG type = REG_SZ);
void SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string>& strings);
std::optional<Value> GetValue(std::string_view path, std::string_view name);
// The value if it exists with that type (REG_DWORD; REG_SZ or REG_EXPAND_SZ, without the
// terminating zero), nothing otherwise.
std::optional<uint32_t> GetDword(std::string_view path, std::string_view name);
std::optional<std::string> GetString(std::string_view path, std::string_view name);
bool DeleteValue(std::string_view path, std::string_view name);

// A .reg file that cannot be read or is malformed. what() reads "<file>:<line>: <problem>", or
// "<file>: <problem>" for a file that cannot be read at all (missing, a directory, unreadable).
class RegFileError : public std::runtime_error {
 public:
  RegFileError(std::string file, size_t line, const std::string& problem);
  const std::string& file() const { return file_; }
  size_t line() const { return line_; }  // 0 when the file itself could not be read

 private:
  std::string file_;
  size_t line_;
};

// Merges a .reg text ("Windows Registry Editor Version 5.00" or "REGEDIT4") over the tree:
// [KEY] creates a key, [-KEY] deletes one, "name"=... and @=... set values, "name"=- deletes
// one. HKEY_LOCAL_MACHINE maps to \REGISTRY\MACHINE and HKEY_USERS to \REGISTRY\USER. The
// whole text is checked before anything is applied, so a malformed file changes nothing:
// text that is not well-formed UTF-8 (nor UTF-16LE after its byte-order mark), a name with a
// control character, or a key or name beyond the registry's limits (limits.h) is an error.
void LoadRegText(std::string_view text, std::string_view sourceName);
void LoadRegFile(const std::filesystem::path& file);
// Writes every key under root (the root itself included) in the 5.00 format, parents before
// children, loadable again with LoadRegText. Throws std::invalid_argument for a root outside
// \REGISTRY\MACHINE and \REGISTRY\USER or a key or value name the format cannot hold
// (control characters, unpaired surrogates); string data with those is written in the
// hex(1): form. What LoadRegText accepts, this writes back so that it loads to the same tree.
std::string SaveRegText(std::string_view root = kMachine);
void SaveRegFile(const std::filesystem::path& file, std::string_view root = kMachine);

}  // namespace host::registry
