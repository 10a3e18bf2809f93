// Shared pieces of the firmware tests: temporary folders, a working
// directory of their own (the store is "Rom" under it), and the local cloud
// over HTTPS on a free loopback port.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/Log.h"
#include "cloud/CloudServer.h"
#include "firmware/ServedFile.h"

namespace fwtest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "brickfix-fw-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
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

// Certificates are made once per test process.
inline const std::string& CertificateDir() {
  static TempDir dir;
  static bool made = [] {
    std::string error;
    bool ok = MakeCertificates(dir.path(), {"127.0.0.1", "localhost"}, error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }();
  (void)made;
  return dir.path();
}

// The local cloud with a releases folder of its own, trusted through
// SSL_CERT_FILE. `certificate` "untrusted" serves one nobody trusts; the
// trusted one names 127.0.0.1 and localhost only.
class LocalCloud {
 public:
  explicit LocalCloud(const std::string& certificate = "server", const std::string& address = "127.0.0.1")
      : address_(address) {
    const std::string& certs = CertificateDir();
    setenv("SSL_CERT_FILE", (certs + "/ca.pem").c_str(), 1);
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    CloudOptions options;
    options.listenAddress = address;
    options.port = 0;
    options.certFile = certs + "/" + certificate + ".pem";
    options.keyFile = certs + "/" + certificate + "-key.pem";
    options.releasesDir = releases_.path();
    server_ = std::make_unique<CloudServer>(options);
    std::string error;
    started_ = server_->Start(error);
    EXPECT_TRUE(started_) << error;
    setenv("BRICKFIX_CLOUD_HOST", host().c_str(), 1);
  }
  ~LocalCloud() {
    server_->Stop();
    unsetenv("BRICKFIX_CLOUD_HOST");
  }

  // `manifest` is release.json; `image` is stored as fw.bin unless the
  // manifest names another file.
  void AddRelease(const std::string& model, const std::string& manifest, const std::string& image) {
    WriteFile(releases_.path() + "/" + model + "/release.json", manifest);
    WriteFile(releases_.path() + "/" + model + "/fw.bin", image);
  }
  std::string host() const { return address_ + ":" + std::to_string(server_->port()); }
  std::string QueryUrl(const std::string& model) const {
    return "https://" + host() + "/api/latest_rom?model=" + model;
  }
  CloudServer& server() { return *server_; }

 private:
  std::string address_;
  TempDir releases_;
  std::unique_ptr<CloudServer> server_;
  bool started_ = false;
};

// A release.json for fw.bin with extra members.
inline std::string Manifest(const std::string& version, const std::string& extra = "") {
  return R"({"version": ")" + version + R"(", "image": "fw.bin")" + (extra.empty() ? "" : ", " + extra) +
         "}";
}

// A loopback port nobody listens on (bound, then closed).
inline int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace fwtest
