#include "netcfg/linux/Journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netcfg/linux/LinuxNetOps.h"
#include "platform/linux/FullIo.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/StateDir.h"

namespace {

constexpr const char* kPrefix = "adapter-";
constexpr const char* kSuffix = ".journal";
constexpr std::size_t kMaxSize = 64 * 1024;

std::string Reason(const std::string& path) { return path + ": " + std::strerror(errno); }

}  // namespace

std::string AdapterJournal::PathOf(const std::string& ifname) const {
  return m_dir + "/" + kPrefix + ifname + kSuffix;
}

bool AdapterJournal::Save(const AdapterSnapshot& snapshot, std::string& error) const {
  if (!IsSafeInterfaceName(snapshot.ifname)) {
    error = "bad adapter name";
    return false;
  }
  if (!MakeStateDirectory(m_dir, error)) return false;
  std::string path = PathOf(snapshot.ifname);
  std::string temporary = m_dir + "/." + kPrefix + snapshot.ifname + ".tmp";
  std::string text = FormatSnapshot(snapshot);
  {
    ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || !WriteFull(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0) {
      error = Reason(temporary);
      unlink(temporary.c_str());
      return false;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    error = Reason(path);
    unlink(temporary.c_str());
    return false;
  }
  ScopedFd dir(open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
  return true;
}

bool AdapterJournal::Load(const std::string& ifname, AdapterSnapshot& out, std::string& error) const {
  error.clear();
  if (m_dir.empty() || !IsSafeInterfaceName(ifname)) return false;
  std::string path = PathOf(ifname);
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno != ENOENT) error = Reason(path);
    return false;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason(path);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxSize) {
      error = path + ": too large";
      return false;
    }
  }
  if (!ParseSnapshot(text, out, error)) {
    error = path + ": " + error;
    return false;
  }
  if (out.ifname != ifname) {
    error = path + ": names another adapter";
    return false;
  }
  return true;
}

bool AdapterJournal::Exists(const std::string& ifname) const {
  struct stat st {};
  return !m_dir.empty() && lstat(PathOf(ifname).c_str(), &st) == 0;
}

bool AdapterJournal::Remove(const std::string& ifname) const {
  if (m_dir.empty()) return true;
  if (unlink(PathOf(ifname).c_str()) != 0 && errno != ENOENT) return false;
  ScopedFd dir(open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
  return true;
}

std::vector<std::string> AdapterJournal::Adapters() const {
  std::vector<std::string> out;
  DIR* d = m_dir.empty() ? nullptr : opendir(m_dir.c_str());
  if (!d) return out;
  const std::string prefix = kPrefix, suffix = kSuffix;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string ifname = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (IsSafeInterfaceName(ifname)) out.push_back(ifname);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> AdapterJournal::AdaptersOf(unsigned long long netns) const {
  std::vector<std::string> out;
  for (const std::string& ifname : Adapters()) {
    AdapterSnapshot snapshot;
    std::string error;
    // One that cannot be read is shown all the same: it asks for attention.
    if (!Load(ifname, snapshot, error) || snapshot.netns == 0 || snapshot.netns == netns) out.push_back(ifname);
  }
  return out;
}

unsigned long long CurrentNetworkNamespace() {
  struct stat st {};
  return stat("/proc/thread-self/ns/net", &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}
