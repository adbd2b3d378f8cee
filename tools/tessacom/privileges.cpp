#include "privileges.h"

#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tessacom {

namespace {

bool Fail(const std::string& step, std::string* error) {
  *error = step + ": " + std::strerror(errno);
  return false;
}

// The account's groups: its own and those that list it as a member.
std::vector<gid_t> GroupsOf(const Account& account) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));  // count now says how many there are
    getgrouplist(account.name.c_str(), account.gid, groups.data(), &count);
  }
  groups.resize(static_cast<size_t>(count));
  return groups;
}

// The bridge's watch threads, started after the change, ask for the lowest real-time priority;
// an ordinary user has it only where RLIMIT_RTPRIO allows it.
void AllowLowestRealTimePriority() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur >= 1) return;
  limit.rlim_cur = 1;
  if (limit.rlim_max < 1) limit.rlim_max = 1;
  setrlimit(RLIMIT_RTPRIO, &limit);
}

}  // namespace

bool DropPrivileges(const Account& account, std::string* error) {
  const std::vector<gid_t> groups = GroupsOf(account);
  AllowLowestRealTimePriority();
  if (setgroups(groups.size(), groups.data()) != 0) return Fail("setgroups", error);
  if (setgid(account.gid) != 0) return Fail("setgid " + std::to_string(account.gid), error);
  if (setuid(account.uid) != 0) return Fail("setuid " + std::to_string(account.uid), error);
  if (getuid() != account.uid || geteuid() != account.uid || getgid() != account.gid || getegid() != account.gid) {
    *error = "the user and group did not change to " + account.name;
    return false;
  }
  if (account.uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
    *error = "root could be had back after the change to " + account.name;
    return false;
  }
  return true;
}

}  // namespace tessacom
