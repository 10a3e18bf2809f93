#include "platform/linux/Diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/linux/RunFiles.h"

namespace {

constexpr const char* kPrefix = "diagnostics-";
constexpr const char* kSuffix = ".log";

}  // namespace

bool DiagnosticsFile::Open(const std::string& dir) {
  if (!dir.empty()) {
    PruneRunFiles(dir, kPrefix, kSuffix, kKeep - 1);
    std::string base = dir + "/" + kPrefix + RunStamp();
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
