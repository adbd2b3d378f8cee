// The host's status of the link (`tessacom shell`'s `status`, `serve` on SIGUSR1 and at its
// end): per port, the link's state and sequences, the chunk in flight and its age, what the
// watch counted each way and what the rings hold, read from the driver's records through its
// binding; per remote, the transport's datagrams each way and what was lost on the host.
#pragma once

#include <iosfwd>

#include "driver_binding.h"
#include "link_watch.h"

namespace tessacom {

// Ports with no traffic and a closed link are summed up in one line.
void PrintLinkStatus(std::ostream& out, const DriverBinding& driver, LinkWatch& watch);

}  // namespace tessacom
