// Giving up root once what needs it is done: `tessacom serve --user USER` opens the driver's
// socket on UDP port 519 as root, then runs as USER.
#pragma once

#include <string>

#include "serve_accounts.h"

namespace tessacom {

// Runs the whole process (every thread) as `account` from now on: its groups (setgroups), its
// group (setgid), then its user (setuid), in that order, since a process that is no longer
// root cannot change its groups; each step checked, and then that root cannot be had back.
// The lowest real-time priority stays allowed (RLIMIT_RTPRIO), for the pseudo-terminal
// bridge's watch of closes. False with `error` set; the process may then be part-way changed
// and must stop.
bool DropPrivileges(const Account& account, std::string* error);

}  // namespace tessacom
