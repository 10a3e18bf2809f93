#include "firmware/StoreIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/linux/FullIo.h"
#include "platform/linux/ScopedFd.h"

namespace {

// Below this a block is not worth a hint.
constexpr std::size_t kLargeBlock = 4 << 20;
constexpr std::uintptr_t kPage = 4096;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// A folder of the store, never reached through a link.
int OpenFolder(const std::string& dir) {
  return ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A path as its folder, opened as above, and its last name.
struct InFolder {
  explicit InFolder(const std::string& path) {
    std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    dir.Reset(OpenFolder(slash == std::string::npos ? "" : path.substr(0, slash)));
  }
  bool valid() const { return dir.valid() && !name.empty(); }
  ScopedFd dir;
  std::string name;
};

}  // namespace

unsigned char* NewImageBlock(std::size_t size) {
  auto* block = new (std::nothrow) unsigned char[size];
  if (block && size >= kLargeBlock) {
    // Huge pages for the whole pages inside the block: filling 64 MiB then
    // takes a few dozen page faults instead of sixteen thousand.
    auto begin = (reinterpret_cast<std::uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return block;
}

bool IsFileNameAllowed(const std::string&) { return true; }

std::vector<std::string> ListRegularFiles(const std::string& dir) {
  std::vector<std::string> names;
  int fd = OpenFolder(dir);
  if (fd < 0) return names;
  std::unique_ptr<DIR, DirCloser> stream(fdopendir(fd));
  if (!stream) {
    ::close(fd);
    return names;
  }
  while (dirent* entry = readdir(stream.get())) {
    // A link is never followed, not even to a regular file.
    struct stat st;
    if (fstatat(dirfd(stream.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    names.emplace_back(entry->d_name);
  }
  return names;
}

bool PathExists(const std::string& path) {
  InFolder at(path);
  struct stat st;
  return at.valid() && fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool RemoveFile(const std::string& path) {
  InFolder at(path);
  return at.valid() && ::unlinkat(at.dir.get(), at.name.c_str(), 0) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  InFolder source(from), target(to);
  return source.valid() && target.valid() &&
         ::renameat(source.dir.get(), source.name.c_str(), target.dir.get(), target.name.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

void RemoveEmptyDirectory(const std::string& path) {
  InFolder at(path);
  if (at.valid()) ::unlinkat(at.dir.get(), at.name.c_str(), AT_REMOVEDIR);
}

void SyncDirectory(const std::string& path) {
  ScopedFd fd(OpenFolder(path));
  if (fd.valid()) ::fsync(fd.get());
}

StoreFile::~StoreFile() { Close(); }

bool StoreFile::OpenForReading(const std::string& path) {
  Close();
  InFolder at(path);
  if (!at.valid()) return false;
  // Not through a link, and only a regular file: O_NONBLOCK keeps a planted
  // pipe from holding the open.
  ScopedFd fd(::openat(at.dir.get(), at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  m_handle = fd.Release();
  return true;
}

bool StoreFile::CreateNew(const std::string& path) {
  Close();
  m_written = 0;
  InFolder at(path);
  if (!at.valid()) return false;
  m_handle = ::openat(at.dir.get(), at.name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return IsOpen();
}

std::int64_t StoreFile::Size() const {
  struct stat st;
  if (!IsOpen() || fstat(Fd(m_handle), &st) != 0) return -1;
  return st.st_size;
}

bool StoreFile::ReadFull(void* data, std::size_t size) {
  return IsOpen() && ::ReadFull(Fd(m_handle), data, size);
}

bool StoreFile::Write(const void* data, std::size_t size) {
  if (!IsOpen() || !WriteFull(Fd(m_handle), data, size)) return false;
  if (size == 0) return true;  // a length of 0 would mean "to the end" below
  // Start writing this piece out now, so that Sync finds little left.
  sync_file_range(Fd(m_handle), static_cast<off_t>(m_written), static_cast<off_t>(size),
                  SYNC_FILE_RANGE_WRITE);
  m_written += size;
  return true;
}

bool StoreFile::Sync() { return IsOpen() && ::fsync(Fd(m_handle)) == 0; }

bool StoreFile::Close() {
  if (!IsOpen()) return true;
  bool ok = ::close(Fd(m_handle)) == 0;
  m_handle = kNoHandle;
  return ok;
}
