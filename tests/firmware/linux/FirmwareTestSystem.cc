// The Linux side of the firmware tests' support: the local cloud runs in
// this process, trusted through SSL_CERT_FILE.
#include "firmware/linux/FirmwareTestSystem.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace fwtest {

void SetEnv(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

void UnsetEnv(const std::string& name) { unsetenv(name.c_str()); }

int ClosedPort() {
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

const bool kResumesTlsSessions = true;

namespace {

// Certificates are made once per test process.
const std::string& CertificateDir() {
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

}  // namespace

LocalCloud::LocalCloud(const std::string& kind, const std::string& address) : impl_(new Impl) {
  impl_->address = address;
  impl_->plain = kind == "plain";
  const std::string& certs = CertificateDir();
  SetEnv("SSL_CERT_FILE", certs + "/ca.pem");
  SetEnv("no_proxy", "127.0.0.1,localhost");
  SetEnv("NO_PROXY", "127.0.0.1,localhost");
  CloudOptions options;
  options.listenAddress = address;
  options.port = 0;
  options.plain = impl_->plain;
  if (!impl_->plain) {
    options.certFile = certs + "/" + kind + ".pem";
    options.keyFile = certs + "/" + kind + "-key.pem";
  }
  options.releasesDir = impl_->releases.path();
  impl_->server = std::make_unique<CloudServer>(options);
  std::string error;
  impl_->started = impl_->server->Start(error);
  EXPECT_TRUE(impl_->started) << error;
  SetEnv("BRICKFIX_CLOUD_HOST", host());
}

LocalCloud::~LocalCloud() {
  impl_->server->Stop();
  UnsetEnv("BRICKFIX_CLOUD_HOST");
}

bool LocalCloud::ready() const { return impl_->started; }

void LocalCloud::AddRelease(const std::string& model, const std::string& manifest, const std::string& image) {
  WriteFile(impl_->releases.path() + "/" + model + "/release.json", manifest);
  WriteFile(impl_->releases.path() + "/" + model + "/fw.bin", image);
}

std::string LocalCloud::host() const { return impl_->address + ":" + std::to_string(impl_->server->port()); }

std::string LocalCloud::QueryUrl(const std::string& model) const {
  return (impl_->plain ? "http://" : "https://") + host() + "/api/latest_rom?model=" + model;
}

std::vector<LocalCloud::SeenRequest> LocalCloud::Requests() const {
  std::vector<SeenRequest> seen;
  for (const CloudServer::SeenRequest& r : impl_->server->Requests()) {
    seen.push_back({r.target, r.userAgent, r.hasAccept, r.resumedSession});
  }
  return seen;
}

// The immutable attribute keeps even root from deleting the file.
namespace {

bool SetImmutable(const std::string& path, bool on) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

LockedFile::LockedFile(const std::string& path) : path_(path) { locked_ = SetImmutable(path_, true); }

LockedFile::~LockedFile() {
  if (locked_) SetImmutable(path_, false);
}

}  // namespace fwtest
