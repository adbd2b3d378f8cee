#include "configuration_notes.h"

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>

#include "port/port_record.h"
#include "endpoint.h"
#include "wire.h"
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

namespace {

// What the driver makes of "MaxPort": more than it has room for, or no port at all.
void MaxPortNotes(LONG maxPort, std::vector<std::string>& notes) {
  if (maxPort > MAX_PORTS) {
    notes.push_back("\"MaxPort\" is " + std::to_string(maxPort) + ", more than the " +
                    std::to_string(MAX_PORTS) + " ports the driver has room for: it makes " +
                    std::to_string(MAX_PORTS));
  } else if (maxPort < 0) {
    notes.push_back("\"MaxPort\" is " + std::to_string(static_cast<ULONG>(maxPort)) +
                    ", which the driver reads as a signed number, " + std::to_string(maxPort) +
                    ": it makes no port, and a load without a port fails");
  } else if (maxPort == 0) {
    notes.push_back("\"MaxPort\" is 0: the driver makes no port, and a load without a port fails");
  }
}

// A port's remote as the driver reads it from "StartNum<n>" and "dAddress<n>" (n = port + 1).
struct PortRemote {
  LONG port = 0;
  ULONG address = 0;
  LONG startNum = kAbsent;
  bool InRange() const { return startNum >= 1 && startNum <= MAX_PORTS; }
};

// The first port on `address` whose channel the driver matches wire channel `wire` with.
std::optional<LONG> PortOnWire(const std::vector<PortRemote>& remotes, ULONG address, ULONG wire) {
  for (const PortRemote& r : remotes) {
    if (r.address == address && r.InRange() && static_cast<ULONG>(r.startNum - 1) == wire) return r.port;
  }
  return std::nullopt;
}

// A channel outside 1..256: the driver sends on the low 8 bits of StartNum - 1 but hands a
// port only datagrams whose channel equals StartNum - 1 whole, which no wire channel does.
void ChannelRangeNotes(const std::vector<PortRemote>& remotes, std::vector<std::string>& notes) {
  for (const PortRemote& r : remotes) {
    if (r.address == 0 || r.InRange()) continue;
    const ULONG wire = (static_cast<ULONG>(r.startNum) - 1) & 0xFF;
    const std::string port = "port " + std::to_string(r.port);
    std::string note = "\"StartNum" + std::to_string(r.port + 1) + "\" is " +
                       std::to_string(static_cast<ULONG>(r.startNum)) + ", outside 1 to " +
                       std::to_string(MAX_PORTS) + ": " + port + " sends on wire channel " +
                       std::to_string(wire) + " of " + devserver::AddressToString(r.address) +
                       " (the low 8 bits of StartNum - 1), but the driver hands a port only what "
                       "comes on channel StartNum - 1 whole, so nothing the remote sends reaches " +
                       port + " and every open of it fails";
    if (const std::optional<LONG> other = PortOnWire(remotes, r.address, wire)) {
      const std::string taker = "port " + std::to_string(*other);
      note += " (what comes back on wire channel " + std::to_string(wire) + " goes to " + taker +
              ": the reply to an open of " + port + " leaves " + taker + "'s link open, and " + taker +
              " then refuses every open until the remote closes it)";
    }
    notes.push_back(note);
  }
}

// Ports on one remote and channel: the driver hands what the channel brings to the first.
void SharedChannelNotes(const std::vector<PortRemote>& remotes, std::vector<std::string>& notes) {
  std::map<std::pair<ULONG, LONG>, std::vector<LONG>> sharing;  // (address, StartNum) -> ports
  for (const PortRemote& r : remotes) {
    if (r.address >> 24 != 0 && r.InRange()) sharing[{r.address, r.startNum}].push_back(r.port);
  }
  for (const auto& [remote, ports] : sharing) {
    if (ports.size() < 2) continue;
    const std::string first = "port " + std::to_string(ports.front());
    notes.push_back(PortList(ports) + " have the same remote " + devserver::AddressToString(remote.first) +
                    " and channel " + std::to_string(remote.second) +
                    " (\"StartNum<n>\" and \"dAddress<n>\", n = port + 1): the driver hands what the "
                    "remote sends on that channel to " + first + " alone, so an open of another of "
                    "them gets no reply and fails, and the reply it caused leaves " + first +
                    "'s link open: " + first + " then refuses every open until the remote closes it");
  }
}

// Ports with no remote a datagram can reach: a "dAddress<n>" of 0 (the driver refuses every
// open at once), or one in 0.0.0.0/8, which names no host (an absent value reads as 3, that is
// 0.0.0.3): every open waits for a reply that cannot come.
void NoRemoteNotes(const std::vector<PortRemote>& remotes, std::vector<std::string>& notes) {
  std::vector<LONG> zero;
  std::map<ULONG, std::vector<LONG>> nowhere;
  for (const PortRemote& r : remotes) {
    if (r.address == 0) zero.push_back(r.port);
    else if (r.address >> 24 == 0) nowhere[r.address].push_back(r.port);
  }
  if (!zero.empty()) {
    notes.push_back(PortList(zero) + " (\"dAddress<n>\" 0, n = port + 1) " + (zero.size() == 1 ? "has" : "have") +
                    " no remote: the driver refuses every open at once");
  }
  for (const auto& [address, ports] : nowhere) {
    notes.push_back(PortList(ports) + (ports.size() == 1 ? " has" : " have") +
                    " no remote a datagram can reach: \"dAddress<n>\" (n = port "
                    "+ 1) is " + devserver::AddressToString(address) + ", in 0.0.0.0/8, which names no "
                    "host (an absent value reads as 3, 0.0.0.3); every open waits for a reply that "
                    "cannot come and fails");
  }
}

}  // namespace

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
  MaxPortNotes(maxPort, notes);
  std::vector<PortRemote> remotes;
  for (LONG n = 1; n <= std::clamp<LONG>(maxPort, 0, MAX_PORTS); ++n) {
    PortRemote remote;
    remote.port = n - 1;
    remote.startNum = ReadConfigured("StartNum" + std::to_string(n), notes).value_or(kAbsent);
    remote.address = static_cast<ULONG>(ReadConfigured("dAddress" + std::to_string(n), notes).value_or(kAbsent));
    remotes.push_back(remote);
  }
  NoRemoteNotes(remotes, notes);
  ChannelRangeNotes(remotes, notes);
  SharedChannelNotes(remotes, notes);
  return notes;
}

std::vector<std::string> RemoteNotes(const DriverBinding& driver) {
  std::vector<std::string> notes;
  std::map<ULONG, std::vector<LONG>> outside;  // address -> its ports
  for (LONG i = 0; i < driver.MaxPort && i < MAX_PORTS; i++) {
    const ULONG address = ReadShared(driver.PortTable[i].RemoteAddress);
    if (address != 0 && address >> 24 != 127) outside[address].push_back(i);
  }
  const bool guard = host::net::LoopbackGuard();
  const uint16_t wirePort = host::net::WirePort(devserver::kLinkPort);
  for (const auto& [address, ports] : outside) {
    const std::string remote = devserver::AddressToString(address) + " (" + PortList(ports) + ")";
    if (guard) {
      notes.push_back("the loopback guard is on (--loopback-only): nothing is sent to " + remote +
                      ", which is outside 127.0.0.0/8");
    } else if (wirePort != devserver::kLinkPort) {
      notes.push_back("UDP port 519 is carried on port " + std::to_string(wirePort) +
                      " (not root): a device server at " + remote +
                      " answers on port 519 and is not reached; run as root");
    }
  }
  return notes;
}

}  // namespace tessacom
