#include "firmware/RomStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <vector>

#include "platform/linux/FullIo.h"
#include "platform/linux/ScopedFd.h"

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& name, const std::string& prefix) {
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(name[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

// Names of the regular files of `model` in `dir`, sorted.
std::vector<std::string> ListModelFiles(const std::string& dir, const std::string& model) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
  if (!stream) return names;
  while (dirent* entry = readdir(stream.get())) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || !StartsWithNoCase(name, model)) continue;
    struct stat st;
    if (fstatat(dirfd(stream.get()), name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) {
  for (const std::string& name : ListModelFiles(dir, model)) {
    if (!purge) return name;
    std::string path = dir + "/" + name;
    ::unlink(path.c_str());
    if (Exists(path)) return name;
  }
  return "";
}

int LoadRomFile(RomInfo& info, const std::string& model) {
  std::string name = FindRomFile(kRomDir, model, false);
  if (name.empty()) return 8;
  if (std::size_t dash = name.find('-'); dash != std::string::npos) {
    info.version = name.substr(dash + 1);
  }
  ScopedFd file(::open((std::string(kRomDir) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return 7;
  if (st.st_size > kMaxImageSize) {
    info.data = nullptr;
    info.size = st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
    return 2;
  }
  info.size = static_cast<int>(st.st_size);
  info.data = new (std::nothrow) unsigned char[static_cast<std::size_t>(info.size)];
  if (!info.data) return 2;
  // A half-read image must never be served to the router.
  if (!ReadFull(file.get(), info.data, static_cast<std::size_t>(info.size))) {
    delete[] info.data;
    info.data = nullptr;
    return 7;
  }
  return 0;
}

bool IsValidStoreName(const std::string& model, const std::string& version) {
  if (model.empty() || model[0] == '.') return false;
  std::string name = model + "-" + version;
  if (name.size() > NAME_MAX) return false;
  if (name.find("..") != std::string::npos) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
  });
}
