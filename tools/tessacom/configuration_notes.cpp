#include "configuration_notes.h"

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>

#include "driver/port_record.h"
#include "endpoint.h"
#include "host/net/udp_transport.h"
#include "host/registry/registry.h"
#include "host_session.h"

namespace tessacom {
namespace {

constexpr LONG kAbsent = 3;  // what the driver reads for a value that is not there

std::string TypeName(ULONG type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "a value of type " + std::to_string(type);
  }
}

// The value as the driver reads it: its number when it is a 4-byte REG_DWORD, nothing when it
// is absent. A value of another type or size is noted, and the driver treats it as absent.
std::optional<LONG> ReadConfigured(const std::string& name, std::vector<std::string>& notes) {
  auto value = host::registry::GetValue(ServiceKeyPath(), name);
  if (!value) return std::nullopt;
  const auto& d = value->data;
  if (value->type == REG_DWORD && d.size() == 4) {
    return static_cast<LONG>(d[0] | d[1] << 8 | d[2] << 16 | static_cast<ULONG>(d[3]) << 24);
  }
  notes.push_back("\"" + name + "\" is " + TypeName(value->type) + " of " + std::to_string(d.size()) +
                  " bytes, not a 4-byte REG_DWORD: the driver treats it as absent (" +
                  std::to_string(kAbsent) + ")");
  return std::nullopt;
}

// "port 4", "ports 0 to 2, 5, 6": ascending port indices, runs of three or more joined.
std::string PortList(const std::vector<LONG>& ports) {
  std::string list;
  for (size_t i = 0; i < ports.size();) {
    size_t last = i;
    while (last + 1 < ports.size() && ports[last + 1] == ports[last] + 1) ++last;
    if (last < i + 2) last = i;
    list += (list.empty() ? "" : ", ") + std::to_string(ports[i]);
    if (last > i) list += " to " + std::to_string(ports[last]);
    i = last + 1;
  }
  return (ports.size() == 1 ? "port " : "ports ") + list;
}

}  // namespace

void PrintNotes(std::ostream& out, const std::vector<std::string>& notes) {
  for (const auto& note : notes) out << "note: " << note << "\n";
}

std::vector<std::string> RegistryNotes() {
  std::vector<std::string> notes;
  if (!host::registry::KeyExists(ServiceKeyPath())) {
    notes.push_back("the configuration has no key "
                    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom: the driver "
                    "uses its defaults, and no port has a remote server (every open is refused)");
    return notes;
  }
  ReadConfigured("StartPort", notes);
  const LONG maxPort = ReadConfigured("MaxPort", notes).value_or(kAbsent);
  if (maxPort > MAX_PORTS) {
    notes.push_back("\"MaxPort\" is " + std::to_string(maxPort) + ", more than the " +
                    std::to_string(MAX_PORTS) + " ports the driver has room for: it makes " +
                    std::to_string(MAX_PORTS));
  }
  for (LONG n = 1; n <= std::clamp<LONG>(maxPort, 0, MAX_PORTS); ++n) {
    ReadConfigured("StartNum" + std::to_string(n), notes);
    ReadConfigured("dAddress" + std::to_string(n), notes);
  }
  return notes;
}

std::vector<std::string> LoopbackNotes(const DriverBinding& driver) {
  std::vector<std::string> notes;
  if (!host::udp::LoopbackGuard()) return notes;
  std::map<ULONG, std::vector<LONG>> outside;  // address -> its ports
  for (LONG i = 0; i < driver.MaxPort && i < MAX_PORTS; i++) {
    const ULONG address = ReadShared(driver.PortTable[i].RemoteAddress);
    if (address != 0 && address >> 24 != 127) outside[address].push_back(i);
  }
  for (const auto& [address, ports] : outside) {
    notes.push_back("the loopback guard is on: nothing is sent to " + devserver::AddressToString(address) + " (" +
                    PortList(ports) + "), which is outside 127.0.0.0/8");
  }
  return notes;
}

}  // namespace tessacom
