#include "platform/linux/SupportBundle.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "observe/Bundle.h"
#include "platform/linux/FullIo.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/StateDir.h"

namespace {

constexpr off_t kLargestFile = 64 << 20;  // a run's files are far smaller

class StateFolder : public observe::IStateFolder {
 public:
  explicit StateFolder(std::string dir) : m_dir(std::move(dir)) {}

  std::vector<std::string> Names() override {
    std::vector<std::string> names;
    if (DIR* d = opendir(m_dir.c_str())) {
      while (dirent* entry = readdir(d)) names.emplace_back(entry->d_name);
      closedir(d);
    }
    return names;
  }

  // Regular files only, never through a link.
  std::optional<std::string> Read(const std::string& name) override {
    ScopedFd fd(open((m_dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLargestFile) {
      return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    if (!ReadFull(fd.get(), bytes.data(), bytes.size())) return std::nullopt;
    return bytes;
  }

 private:
  std::string m_dir;
};

// A gzip-compressed POSIX tar archive written to a descriptor.
class TarGzArchive : public observe::IBundleArchive {
 public:
  explicit TarGzArchive(int fd) : m_archive(archive_write_new()) {
    m_open = m_archive && archive_write_add_filter_gzip(m_archive) == ARCHIVE_OK &&
             archive_write_set_format_pax_restricted(m_archive) == ARCHIVE_OK &&
             archive_write_open_fd(m_archive, fd) == ARCHIVE_OK;
  }
  ~TarGzArchive() override {
    if (m_archive) archive_write_free(m_archive);
  }

  bool Add(const std::string& name, const std::string& bytes) override {
    if (!m_open) return false;
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(bytes.size()));
    archive_entry_set_mtime(entry.get(), std::time(nullptr), 0);
    return archive_write_header(m_archive, entry.get()) == ARCHIVE_OK &&
           archive_write_data(m_archive, bytes.data(), bytes.size()) == static_cast<la_ssize_t>(bytes.size());
  }

  bool Close(std::string& error) override {
    if (m_open && archive_write_close(m_archive) == ARCHIVE_OK) return true;
    const char* why = m_archive ? archive_error_string(m_archive) : nullptr;
    error = why ? why : "the archive cannot be written";
    return false;
  }

 private:
  struct archive* m_archive;
  bool m_open = false;
};

std::string AboutSystem(const std::string& version) {
  std::string about = version;
  utsname system{};
  if (uname(&system) == 0) {
    about += std::string("kernel: ") + system.sysname + " " + system.release + " " + system.version + " " +
             system.machine + "\n";
  }
  std::ifstream release("/etc/os-release");
  for (std::string line; std::getline(release, line);) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string name = line.substr(12);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    about += "system: " + name + "\n";
  }
  return about;
}

std::string DefaultName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "brickfix-support-%Y%m%d-%H%M%S.tar.gz", &local);
  return name;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "brickfix: 无法写出支持信息包：%s\nbrickfix: cannot write the support bundle: %s\n",
               why.c_str(), why.c_str());
  return 1;
}

}  // namespace

int WriteSupportBundleFile(const std::string& file, const std::string& version) {
  std::string path = file.empty() ? DefaultName() : file;
  std::string dir = StateDirectory();
  if (dir.empty()) return Fail("no state folder (no home directory)");
  // Written beside the file and renamed into place: a failed bundle leaves
  // nothing, and an existing link at the name is replaced, never followed.
  std::string temporary = path + ".tmp";
  ScopedFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return Fail(temporary + ": " + std::strerror(errno));
  StateFolder folder(dir);
  TarGzArchive archive(fd.get());
  std::vector<std::string> added;
  std::string error;
  bool written = observe::WriteSupportBundle(folder, AboutSystem(version), archive, added, error);
  written = written && fsync(fd.get()) == 0;
  fd.Reset();
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return Fail(error.empty() ? path + ": " + std::strerror(errno) : error);
  }
  char absolute[PATH_MAX];
  if (realpath(path.c_str(), absolute)) path = absolute;
  std::printf("支持信息包已写入 %s\nSupport bundle written to %s\n", path.c_str(), path.c_str());
  for (const std::string& name : added) std::printf("  %s\n", name.c_str());
  return 0;
}
