// The demo's session on COM3 against an emulated remote whose channel echoes what it gets.
#pragma once

#include <iosfwd>

#include "devserver.h"

namespace tessacom {

// Opens COM3, sets 115200 8N1, writes a pattern longer than one data packet, reads it back
// through the echo, closes, and shows the protocol trace the emulator recorded meanwhile.
// True when every step succeeded and the bytes came back unchanged.
bool RunDemoSession(std::ostream& out, devserver::DeviceServer& server);

}  // namespace tessacom
