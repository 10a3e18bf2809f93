#include "platform/linux/StateDir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "platform/linux/ScopedFd.h"

namespace {

struct CheckedOwner {
  Account account;
  bool useXdg = false;
};

// Set once at start, while the process has a single thread.
std::optional<CheckedOwner>& Checked() {
  static std::optional<CheckedOwner> owner;
  return owner;
}

std::string UnderHome(std::string home) {
  if (home.empty() || home[0] != '/') return "";
  if (home.size() > 1 && home.back() == '/') home.pop_back();
  return (home == "/" ? "" : home) + "/.local/state/brickfix";
}

// Makes and checks `dir` component by component (see MakeStateDirectory).
bool MakeChecked(const std::string& dir, uid_t owner, std::string& error) {
  ScopedFd at(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::istringstream parts(dir);
  std::string part, sofar;
  struct stat last {};
  bool any = false;
  while (at.valid() && std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    sofar += "/" + part;
    if (part == "." || part == "..") {
      error = dir + ": not a plain path";
      return false;
    }
    ScopedFd next(openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid() && errno == ENOENT) {
      if (mkdirat(at.get(), part.c_str(), 0700) != 0 && errno != EEXIST) {
        error = sofar + ": " + std::strerror(errno);
        return false;
      }
      next.Reset(openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    struct stat st {};
    if (!next.valid() || fstat(next.get(), &st) != 0) {
      error = sofar + ": " + (errno == ELOOP || errno == ENOTDIR ? "a link or not a folder" : std::strerror(errno));
      return false;
    }
    if ((st.st_uid != 0 && st.st_uid != owner) ||
        ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))) {
      error = sofar + ": belongs to another user or others may write in it";
      return false;
    }
    at = std::move(next);
    last = st;
    any = true;
  }
  if (!at.valid() || !any) {
    error = dir + ": cannot be opened";
    return false;
  }
  if (last.st_uid != owner || (last.st_mode & (S_IWGRP | S_IWOTH))) {
    error = dir + ": not the user's own folder";
    return false;
  }
  return true;
}

}  // namespace

void UseAccountStateDirectory(const Account& owner, bool useXdg) { Checked() = CheckedOwner{owner, useXdg}; }

std::string StateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  bool xdg = state && state[0] == '/';
  if (const std::optional<CheckedOwner>& checked = Checked()) {
    return checked->useXdg && xdg ? std::string(state) + "/brickfix" : UnderHome(checked->account.home);
  }
  if (xdg) return std::string(state) + "/brickfix";
  std::string home;
  if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
    home = env;
  } else if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/') {
    home = entry->pw_dir;
  }
  return UnderHome(home);
}

bool MakeStateDirectory(const std::string& dir, std::string& error) {
  if (dir.empty() || dir[0] != '/') {
    error = "no state folder (no home folder)";
    return false;
  }
  if (const std::optional<CheckedOwner>& checked = Checked()) {
    return MakeChecked(dir, checked->account.uid, error);
  }
  for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + ": not a folder";
    return false;
  }
  return true;
}
