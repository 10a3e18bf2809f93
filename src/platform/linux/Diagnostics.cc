#include "platform/linux/Diagnostics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr const char* kPrefix = "diagnostics-";
constexpr const char* kSuffix = ".log";

bool IsDiagnosticsName(const std::string& name) {
  return name.rfind(kPrefix, 0) == 0 && name.size() > std::string(kPrefix).size() + 4 &&
         name.compare(name.size() - 4, 4, kSuffix) == 0;
}

// The names sort by time: the timestamp comes first, zero-padded.
void RemoveOldest(const std::string& dir, std::size_t keep) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(d)) {
    if (IsDiagnosticsName(entry->d_name)) names.push_back(entry->d_name);
  }
  closedir(d);
  if (names.size() <= keep) return;
  std::sort(names.begin(), names.end());
  for (std::size_t i = 0; i + keep < names.size(); ++i) unlink((dir + "/" + names[i]).c_str());
}

}  // namespace

bool DiagnosticsFile::Open(const std::string& dir) {
  if (!dir.empty()) {
    RemoveOldest(dir, kKeep - 1);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string base = dir + "/" + kPrefix + stamp + "-" + std::to_string(getpid());
    for (int i = 0; i < 10; ++i) {
      std::string path = base + (i ? "." + std::to_string(i) : "") + kSuffix;
      m_fd.Reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (m_fd.valid()) {
        m_path = path;
        return true;
      }
      if (errno != EEXIST) break;
    }
  }
  m_fd.Reset(open("/dev/null", O_WRONLY | O_CLOEXEC));
  m_path.clear();
  return false;
}

void DiagnosticsFile::Capture(bool alsoStdout) {
  if (!m_fd.valid() || m_savedErr >= 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  if (alsoStdout) {
    m_savedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (m_savedOut >= 0) dup2(m_fd.get(), STDOUT_FILENO);
  }
  m_savedErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (m_savedErr >= 0) dup2(m_fd.get(), STDERR_FILENO);
}

void DiagnosticsFile::Release() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (m_savedOut >= 0) {
    dup2(m_savedOut, STDOUT_FILENO);
    close(m_savedOut);
    m_savedOut = -1;
  }
  if (m_savedErr >= 0) {
    dup2(m_savedErr, STDERR_FILENO);
    close(m_savedErr);
    m_savedErr = -1;
  }
}

bool DiagnosticsFile::Written() const {
  struct stat st {};
  return !m_path.empty() && fstat(m_fd.get(), &st) == 0 && st.st_size > 0;
}

void DiagnosticsFile::RemoveIfEmpty() {
  if (!m_path.empty() && !Written()) {
    unlink(m_path.c_str());
    m_path.clear();
  }
}
