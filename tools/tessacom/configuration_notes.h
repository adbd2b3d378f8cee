// What a person reading `load` or `serve` must be told about the configuration the driver is
// given: what the driver will treat as absent, clamp or not find, and which remote servers
// nothing will reach. Each thing is said once, as one line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "driver_binding.h"

namespace tessacom {

// From the registry, before the load: a missing "tessacom" key; each value the driver reads
// ("StartPort", "MaxPort", "StartNum<n>", "dAddress<n>") that is not a 4-byte REG_DWORD; a
// "MaxPort" above the 256 ports the driver has room for, or one that makes no port (0, or 2^31
// and above, which the driver reads as negative); a channel outside 1..256, which no reply
// reaches; two or more ports on one remote and channel, of which only the first is served;
// ports without a remote a datagram can reach ("dAddress<n>" 0, or in 0.0.0.0/8).
std::vector<std::string> RegistryNotes();
// From the loaded driver's port table, each remote address outside 127.0.0.0/8 that the link
// cannot reach, with the ports bound to it: while the host's loopback guard is on, or while
// UDP port 519 is carried on another port (a real device server answers on 519 only).
std::vector<std::string> RemoteNotes(const DriverBinding& driver);
// One "note: ..." line each.
void PrintNotes(std::ostream& out, const std::vector<std::string>& notes);

}  // namespace tessacom
