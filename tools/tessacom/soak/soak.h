// tessacom soak: 8 ports on 2 emulated remotes, both directions at once, through a link that
// drops, duplicates, reorders and delays datagrams both ways, with every byte checked.
#pragma once

#include <iosfwd>

#include "tools/tessacom/command_line.h"  // by its path: the device server has one too

namespace tessacom {

int RunSoak(const Options& options, std::ostream& out);

}  // namespace tessacom
