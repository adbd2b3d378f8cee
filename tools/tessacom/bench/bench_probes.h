// The round trips the link's limits are computed from, measured without the driver between
// the driver's address and the first server's: a bare datagram echoed by a socket, and a data
// packet answered by an emulator's acknowledgement.
#pragma once

#include <string>

#include "bench/bench_figures.h"
#include "bench/bench_rig.h"

namespace tessacom::bench {

// `count` round trips each; a round trip that gets no answer within a second ends the probe
// and sets `problem`.
Percentiles RawUdpRoundTrips(const AddressBlock& addresses, int count, std::string* problem);
Percentiles AckRoundTrips(const AddressBlock& addresses, int count, std::string* problem);

}  // namespace tessacom::bench
