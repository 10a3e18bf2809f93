#include "platform/linux/InvokingUser.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/linux/NetworkRights.h"

namespace {

std::optional<uid_t> IdFromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text || std::strlen(text) > 10 || std::strspn(text, "0123456789") != std::strlen(text)) {
    return std::nullopt;
  }
  unsigned long long value = std::strtoull(text, nullptr, 10);
  if (value == 0 || value >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return std::nullopt;
  return static_cast<uid_t>(value);
}

}  // namespace

std::optional<Account> AccountOf(uid_t uid) {
  passwd entry{}, *found = nullptr;
  char buffer[16384];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_name) {
    return std::nullopt;
  }
  Account account;
  account.uid = found->pw_uid;
  account.gid = found->pw_gid;
  account.name = found->pw_name;
  if (found->pw_dir && found->pw_dir[0] == '/') account.home = found->pw_dir;
  return account;
}

std::optional<Account> FindInvokingUser() {
  if (getuid() != 0) return std::nullopt;
  std::optional<uid_t> uid = IdFromEnvironment("SUDO_UID");
  std::optional<uid_t> gid;
  if (uid) {
    gid = IdFromEnvironment("SUDO_GID");
  } else {
    uid = IdFromEnvironment("PKEXEC_UID");
  }
  if (!uid) return std::nullopt;
  std::optional<Account> account = AccountOf(*uid);
  if (!account || account->uid == 0) return std::nullopt;
  if (gid) account->gid = *gid;
  return account;
}

bool BecomeUser(const Account& user, std::string& error) {
  // What root gives up here must not come back through exec either.
  std::ifstream last("/proc/sys/kernel/cap_last_cap");
  int lastCap = CAP_LAST_CAP;
  if (!(last >> lastCap) || lastCap < 0 || lastCap > 63) lastCap = CAP_LAST_CAP;
  for (int cap = 0; cap <= lastCap; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  if (initgroups(user.name.c_str(), user.gid) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
      setresuid(user.uid, user.uid, user.uid) != 0) {
    error = "cannot become " + user.name + ": " + std::strerror(errno);
    return false;
  }
  uid_t r = 0, e = 0, s = 0;
  if (getresuid(&r, &e, &s) != 0 || r != user.uid || e != user.uid || s != user.uid || setuid(0) == 0) {
    error = "still root after becoming " + user.name;
    return false;
  }
  DropAllCapabilities();
  return true;
}

bool GiveUpRights(const std::optional<Account>& invoker, std::string& error) {
  if (invoker) return BecomeUser(*invoker, error);
  DropAllCapabilities();
  return true;
}

std::string RootWindowNotice() {
  if (getuid() != 0 && geteuid() != 0) return "";
  return "窗口以 root 身份运行：界面、云端查询和固件解析都能读写 root 的全部文件，不建议这样做；"
         "请以 brickfix 组成员身份运行，或用 sudo / pkexec 启动 | The window runs as root: the "
         "toolkit, the cloud query and the parsers can reach every file of root's, which is "
         "discouraged; run it as a member of the group brickfix, or start it with sudo or pkexec";
}
