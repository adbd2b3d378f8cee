#include "serve_accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tessacom {

namespace {

constexpr size_t kEntryBytes = 16384;  // room for one entry of the account database

bool Refuse(std::string* error, const std::string& reason) {
  *error = reason;
  return false;
}

bool Numeric(const std::string& text) {
  return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<gid_t> FindGroup(const std::string& name) {
  if (Numeric(name)) return static_cast<gid_t>(std::strtoul(name.c_str(), nullptr, 10));
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kEntryBytes);
  getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  return found ? std::optional<gid_t>(found->gr_gid) : std::nullopt;
}

std::string UserName(uid_t uid) {
  const std::optional<Account> account = FindUser(std::to_string(uid));
  return account ? account->name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kEntryBytes);
  getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
  return found ? std::string(found->gr_name) : std::to_string(gid);
}

// Who started serve: through sudo (root, SUDO_UID set), the user who ran sudo.
Account InvokingUser() {
  const char* sudoUid = getuid() == 0 ? std::getenv("SUDO_UID") : nullptr;
  if (sudoUid != nullptr && Numeric(sudoUid)) {
    if (std::optional<Account> account = FindUser(sudoUid)) return *account;
  }
  if (std::optional<Account> account = FindUser(std::to_string(getuid()))) return *account;
  return Account{std::to_string(getuid()), getuid(), getgid()};
}

// --pty-owner USER[:GROUP] over the default owner; false with `error` for an unknown name.
bool ApplyOwner(const std::string& text, Account* owner, gid_t* group, std::string* error) {
  const size_t colon = text.find(':');
  const std::string user = text.substr(0, colon);
  if (!user.empty()) {
    const std::optional<Account> found = FindUser(user);
    if (!found) return Refuse(error, "--pty-owner: no such user: " + user);
    *owner = *found;
    *group = found->gid;
  }
  if (colon == std::string::npos) return true;
  const std::optional<gid_t> found = FindGroup(text.substr(colon + 1));
  if (!found) return Refuse(error, "--pty-owner: no such group: " + text.substr(colon + 1));
  *group = *found;
  return true;
}

}  // namespace

std::optional<Account> FindUser(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(kEntryBytes);
  if (Numeric(name)) {
    getpwuid_r(static_cast<uid_t>(std::strtoul(name.c_str(), nullptr, 10)), &entry, buffer.data(), buffer.size(),
               &found);
  } else {
    getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  }
  if (found == nullptr) return std::nullopt;
  return Account{found->pw_name, found->pw_uid, found->pw_gid};
}

bool ResolveServeAccounts(const Options& options, ServeAccounts* accounts, std::string* error) {
  if (options.user) {
    if (geteuid() != 0) return Refuse(error, "--user " + *options.user + ": only a serve started as root changes its user");
    accounts->runAs = FindUser(*options.user);
    if (!accounts->runAs) return Refuse(error, "--user: no such user: " + *options.user);
  }
  Account owner = accounts->runAs ? *accounts->runAs : InvokingUser();
  gid_t group = owner.gid;
  if (options.ptyOwner && !ApplyOwner(*options.ptyOwner, &owner, &group, error)) return false;
  const uid_t servingAs = accounts->runAs ? accounts->runAs->uid : geteuid();
  if (servingAs != 0 && owner.uid != servingAs) {
    return Refuse(error, "--pty-owner " + options.ptyOwner.value_or(owner.name) + ": serving as " +
                             UserName(servingAs) + ", serve can give its pseudo-terminals only to " +
                             UserName(servingAs) + " (with a group of theirs); a group both share, or a serve "
                             "as root without --user, serves another user");
  }
  accounts->terminals = {owner.uid, group, static_cast<mode_t>(options.ptyMode.value_or(0660))};
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(accounts->terminals.mode));
  accounts->terminalsText = owner.name + ":" + GroupName(group) + ", mode " + mode;
  return true;
}

}  // namespace tessacom
