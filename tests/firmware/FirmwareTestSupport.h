// Shared pieces of the firmware tests: temporary folders, a working
// directory of their own (the store is "Rom" under it), and the local cloud
// over HTTPS. What differs per system (the cloud, a file that cannot be
// deleted, the environment, a closed port) is declared at the end and
// implemented in each test program's FirmwareTestSystem.cc.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/Log.h"
#include "firmware/RomInfo.h"
#include "firmware/ServedFile.h"

namespace fwtest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    for (;;) {
      fs::path candidate = fs::temp_directory_path() / ("brickfix-fw-" + std::to_string(random()));
      if (fs::create_directory(candidate)) {
        path_ = candidate.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs the test inside a fresh folder, so "Rom" is the test's own.
class ScopedWorkDir {
 public:
  ScopedWorkDir() : previous_(fs::current_path()) { fs::current_path(dir_.path()); }
  ~ScopedWorkDir() { fs::current_path(previous_); }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  fs::path previous_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Every entry of `dir`, hidden ones included, sorted.
inline std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string RandomBytes(std::size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Frees what a preparation handed to the TFTP service, so that every test
// starts and ends without served files (and leak checkers stay quiet).
inline void ResetServedFiles() {
  for (ServedFile* file : {&g_recoveryBin, &g_recoveryCfg, &g_recoveryResult}) {
    delete[] file->data;
    *file = ServedFile{};
  }
}

// A release.json for fw.bin with extra members.
inline std::string Manifest(const std::string& version, const std::string& extra = "") {
  return R"({"version": ")" + version + R"(", "image": "fw.bin")" + (extra.empty() ? "" : ", " + extra) +
         "}";
}

// A record ready to be saved, its image block owned by the test.
struct SavedImage {
  explicit SavedImage(const std::string& bytes, const std::string& model = "RX2001",
                      const std::string& version = "2.0")
      : block(bytes.begin(), bytes.end()) {
    info.model = model;
    info.version = version;
    info.size = static_cast<int>(block.size());
    info.data = block.data();
  }
  std::vector<unsigned char> block;
  RomInfo info;
};

// ---- per system ----

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// A loopback port nobody listens on.
int ClosedPort();

// Whether this system's HTTP client resumes a TLS session on a new
// connection (the local cloud closes every connection after one request).
extern const bool kResumesTlsSessions;

// The local cloud (brickfix-cloud) with a releases folder of the test's own.
// `kind` "server" is trusted and names 127.0.0.1 only, "untrusted" has a
// certificate nobody trusts, "plain" is plain HTTP; `address` is where it
// listens (127.0.0.1, or 127.0.0.2 for a host its certificate does not name).
// Without a cloud (a test program run by hand without its script) the test
// is skipped: see SKIP_WITHOUT_CLOUD.
class LocalCloud {
 public:
  explicit LocalCloud(const std::string& kind = "server", const std::string& address = "127.0.0.1");
  ~LocalCloud();
  LocalCloud(const LocalCloud&) = delete;
  LocalCloud& operator=(const LocalCloud&) = delete;

  bool ready() const;
  // `manifest` is release.json; `image` is stored as fw.bin unless the
  // manifest names another file.
  void AddRelease(const std::string& model, const std::string& manifest, const std::string& image);
  std::string host() const;  // address:port
  std::string QueryUrl(const std::string& model) const;

  // What the cloud saw of each request so far.
  struct SeenRequest {
    std::string target;  // path and query
    std::string userAgent;
    bool hasAccept = false;
    bool resumedSession = false;
  };
  std::vector<SeenRequest> Requests() const;

  // The system's side, for tests of one system only.
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A file that this process keeps from being deleted while the object lives
// (where the system allows it; see locked()).
class LockedFile {
 public:
  explicit LockedFile(const std::string& path);
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  bool locked() const { return locked_; }

 private:
  std::string path_;
  bool locked_ = false;
  std::intptr_t handle_ = -1;
};

}  // namespace fwtest

#define SKIP_WITHOUT_CLOUD(cloud) \
  if (!(cloud).ready()) GTEST_SKIP() << "no local cloud (the test script starts it)"

#define SKIP_UNLESS_LOCKED(file)                                                               \
  if (!(file).locked())                                                                        \
  GTEST_SKIP() << "cannot make a file undeletable here (on Linux: needs root and a file system " \
                  "with the immutable attribute)"
