// Makes a file that even root cannot delete, for the store's "locked file"
// paths. Needs a file system with the immutable attribute (ext4, xfs, ...).
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace fwtest {

class ImmutableFile {
 public:
  explicit ImmutableFile(std::string path) : path_(std::move(path)) { locked_ = SetFlag(true); }
  ~ImmutableFile() {
    if (locked_) SetFlag(false);
  }
  ImmutableFile(const ImmutableFile&) = delete;
  ImmutableFile& operator=(const ImmutableFile&) = delete;
  bool locked() const { return locked_; }

 private:
  bool SetFlag(bool on) {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
  }

  std::string path_;
  bool locked_ = false;
};

}  // namespace fwtest

#define SKIP_UNLESS_LOCKED(file)                                                               \
  if (!(file).locked())                                                                        \
  GTEST_SKIP() << "cannot make a file undeletable here (needs root and a file system with the " \
                  "immutable attribute)"
