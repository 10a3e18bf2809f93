#include "firmware/RomStore.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "firmware/StoreIo.h"

namespace {

// The longest file name the store's file systems take.
constexpr std::size_t kMaxNameLength = 255;

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
  std::vector<std::string> names = ListRegularFiles(dir);
  std::erase_if(names, [&](const std::string& name) {
    return name.empty() || name[0] == '.' || !StartsWithNoCase(name, model);
  });
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) {
  for (const std::string& name : ListModelFiles(dir, model)) {
    if (!purge) return name;
    std::string path = dir + "/" + name;
    RemoveFile(path);
    if (PathExists(path)) return name;
  }
  return "";
}

int LoadRomFile(RomInfo& info, const std::string& model) {
  std::string name = FindRomFile(kRomDir, model, false);
  if (name.empty()) return 8;
  if (std::size_t dash = name.find('-'); dash != std::string::npos) {
    info.version = name.substr(dash + 1);
  }
  StoreFile file;
  std::int64_t length = file.OpenForReading(std::string(kRomDir) + "/" + name) ? file.Size() : -1;
  // An empty file is no image: nothing would be served and the router's
  // fetch would look complete.
  if (length <= 0) return 7;
  if (length > kMaxImageSize) {
    info.data = nullptr;
    info.size = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    return 2;
  }
  info.size = static_cast<int>(length);
  info.data = NewImageBlock(static_cast<std::size_t>(info.size));
  if (!info.data) return 2;
  // A half-read image must never be served to the router.
  if (!file.ReadFull(info.data, static_cast<std::size_t>(info.size))) {
    delete[] info.data;
    info.data = nullptr;
    return 7;
  }
  return 0;
}

bool IsValidStoreName(const std::string& model, const std::string& version) {
  if (model.empty() || model[0] == '.') return false;
  std::string name = model + "-" + version;
  if (name.size() > kMaxNameLength) return false;
  if (name.find("..") != std::string::npos) return false;
  bool plain = std::none_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
  });
  return plain && IsFileNameAllowed(name);
}
