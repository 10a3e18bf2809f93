#include "platform/linux/RunFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/linux/FullIo.h"

namespace {

constexpr const char* kTimelinePrefix = "timeline-";
constexpr const char* kTimelineSuffix = ".jsonl";
constexpr const char* kCapturePrefix = "capture-";
constexpr const char* kCaptureSuffix = ".pcapng";

bool HasForm(const std::string& name, const std::string& prefix, const std::string& suffix) {
  return name.size() > prefix.size() + suffix.size() && name.rfind(prefix, 0) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The inodes and owners of the UDP sockets bound to `port`, from one of the
// kernel's socket tables ("sl local rem st queues tr retrnsmt uid timeout inode").
void SocketsOnPort(const char* table, std::uint16_t port,
                   std::vector<std::pair<unsigned long, unsigned>>& out) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    unsigned uid = 0;
    unsigned long timeout = 0, inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    std::size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port && inode != 0) {
      out.emplace_back(inode, uid);
    }
  }
}

// The process that has `inode` among its descriptors; 0 when none that this
// process may look at.
int ProcessWithSocket(unsigned long inode) {
  std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  while (dirent* entry = readdir(proc)) {
    if (found || !std::all_of(entry->d_name, entry->d_name + std::strlen(entry->d_name), ::isdigit)) {
      continue;
    }
    std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;  // another user's process, or gone
    while (dirent* fd = readdir(fds)) {
      char target[64] = {};
      if (readlink((fdDir + "/" + fd->d_name).c_str(), target, sizeof target - 1) > 0 && wanted == target) {
        found = std::atoi(entry->d_name);
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

std::string UserName(unsigned uid) {
  passwd entry{}, *result = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &result) == 0 && result) return result->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace

const std::string& RunStamp() {
  static const std::string stamp = [] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return std::string(text) + "-" + std::to_string(getpid());
  }();
  return stamp;
}

void PruneRunFiles(const std::string& dir, const std::string& prefix, const std::string& suffix,
                   std::size_t keep) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(d)) {
    if (HasForm(entry->d_name, prefix, suffix)) names.push_back(entry->d_name);
  }
  closedir(d);
  if (names.size() <= keep) return;
  std::sort(names.begin(), names.end());
  for (std::size_t i = 0; i + keep < names.size(); ++i) unlink((dir + "/" + names[i]).c_str());
}

bool TimelineFile::Open(const std::string& dir) {
  if (dir.empty()) return false;
  PruneRunFiles(dir, kTimelinePrefix, kTimelineSuffix, kRunFilesKept - 1);
  PruneRunFiles(dir, kCapturePrefix, kCaptureSuffix, kRunFilesKept - 1);
  std::string path = dir + "/" + kTimelinePrefix + RunStamp() + kTimelineSuffix;
  m_fd.Reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!m_fd.valid()) return false;
  m_path = path;
  return true;
}

void TimelineFile::Write(const std::string& line) {
  if (m_fd.valid()) WriteFull(m_fd.get(), line.data(), line.size());
}

bool ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".tmp";
  ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return false;
  bool written = WriteFull(fd.get(), bytes.data(), bytes.size());
  fd.Reset();
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string CapturePath(const std::string& dir) {
  return dir + "/" + kCapturePrefix + RunStamp() + kCaptureSuffix;
}

std::optional<observe::PortHolder> FindUdpPortHolder(std::uint16_t port) {
  std::vector<std::pair<unsigned long, unsigned>> sockets;
  SocketsOnPort("/proc/net/udp", port, sockets);
  SocketsOnPort("/proc/net/udp6", port, sockets);
  if (sockets.empty()) return std::nullopt;
  observe::PortHolder holder;
  holder.owner = UserName(sockets.front().second);
  for (const auto& [inode, uid] : sockets) {
    if (int pid = ProcessWithSocket(inode)) {
      holder.pid = pid;
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::getline(comm, holder.name);
      holder.owner = UserName(uid);
      break;
    }
  }
  return holder;
}
