// Who `tessacom serve` runs as, and to whom it gives its pseudo-terminals. UDP port 519 needs
// root or the capability to bind a low port; started as root with --user USER, serve opens its
// socket and then runs as USER (privileges.h). The terminals go to --pty-owner USER[:GROUP]
// with --pty-mode MODE, by default to the invoking user (through sudo, the user who ran sudo;
// with --user, that user), the user's own group, mode 0660.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "command_line.h"
#include "pseudo_terminal.h"

namespace tessacom {

struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;  // the user's own (primary) group
};

struct ServeAccounts {
  std::optional<Account> runAs;          // --user: who serve runs as once its socket is open
  ptybridge::TerminalAccess terminals;   // given to every pseudo-terminal
  std::string terminalsText;             // "alice:dialout, mode 0660"
};

// A user by name or number, from the system's account database.
std::optional<Account> FindUser(const std::string& name);

// Resolves --user, --pty-owner and --pty-mode; false with `error` for a user or group that does
// not exist, --user without root, or terminals for another user than the one serve will run
// as (who could not give that user the fresh terminal a port gets after a failed open).
bool ResolveServeAccounts(const Options& options, ServeAccounts* accounts, std::string* error);

}  // namespace tessacom
