// Root runs: the user who started the program through sudo or pkexec, and
// becoming that user once the network helper runs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;  // from the password database; may be empty
};

// The account of `uid` in the password database.
std::optional<Account> AccountOf(uid_t uid);

// Only when the real user is root: the user that sudo (SUDO_UID, SUDO_GID)
// or pkexec (PKEXEC_UID) names, when the password database knows it and it
// is not root itself.
std::optional<Account> FindInvokingUser();

// Becomes `user` for good, in a process that has a single thread: root's
// bounding set goes first, then the user's groups (initgroups), group and
// user, real, effective and saved alike; with them every capability. False,
// with the reason in `error`, when any of it fails (the process is then no
// longer fit to go on).
bool BecomeUser(const Account& user, std::string& error);

// After the network helper has started (or without one): gives up every
// right the process has, becoming `invoker` when root was started on its
// behalf. False as BecomeUser.
bool GiveUpRights(const std::optional<Account>& invoker, std::string& error);

// Where the rights notice goes when the window itself runs as root: why
// that is discouraged and what to do instead. Empty for any other user.
std::string RootWindowNotice();
