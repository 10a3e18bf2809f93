#include "firmware/StoreIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/linux/FullIo.h"

namespace {

// Below this a block is not worth a hint.
constexpr std::size_t kLargeBlock = 4 << 20;
constexpr std::uintptr_t kPage = 4096;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

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
  std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
  if (!stream) return names;
  while (dirent* entry = readdir(stream.get())) {
    struct stat st;
    if (fstatat(dirfd(stream.get()), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    names.emplace_back(entry->d_name);
  }
  return names;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

void RemoveEmptyDirectory(const std::string& path) { ::rmdir(path.c_str()); }

void SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

StoreFile::~StoreFile() { Close(); }

bool StoreFile::OpenForReading(const std::string& path) {
  Close();
  m_handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return IsOpen();
}

bool StoreFile::CreateNew(const std::string& path) {
  Close();
  m_handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  m_written = 0;
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
