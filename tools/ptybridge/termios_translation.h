// What the bridge sets on a COM port for the terminal settings a program chose on its
// pseudo-terminal.
//
// A Linux pseudo-terminal forces 8 data bits and clears PARENB on every change, so what a
// program asks for there arrives stripped: odd, mark and space parity are still told by the
// PARODD and CMSPAR flags the kernel keeps (PARODD alone: odd; CMSPAR: mark with PARODD,
// space without), even parity and character sizes below 8 are not seen. On a terminal that
// keeps them, PARENB and CSIZE are read as they are.
#pragma once

#include "comm_types.h"
#include "terminal_mode.h"

namespace ptybridge {

// The rate of a mode: the number of a rate set by number (BOTHER), every named rate, or 0
// for B0 (hang up) and unknown codes.
uint32_t RateOf(const TerminalMode& mode);

// The DCB for `mode`, starting from the port's `current` one: rate (kept for B0), character
// size, parity, stop bits (1.5 with 5 data bits), RTS/CTS (CRTSCTS: CTS output flow and RTS
// handshake; otherwise RTS on), XON/XOFF (IXON: output, IXOFF: input, with VSTART and VSTOP as
// the characters unless they are equal, which a port refuses) and DTR on. The other fields
// are the current ones.
comm::DCB PortStateFor(const TerminalMode& mode, const comm::DCB& current);

// Whether two DCBs ask the port for the same settings.
bool SameSettings(const comm::DCB& a, const comm::DCB& b);

}  // namespace ptybridge
