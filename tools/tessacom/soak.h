// tessacom soak: 8 ports on 2 emulated remotes, both directions at once, through a link that
// drops, duplicates, reorders and delays datagrams both ways, with every byte checked.
#pragma once

#include <iosfwd>

#include "command_line.h"

namespace tessacom {

int RunSoak(const Options& options, std::ostream& out);

}  // namespace tessacom
