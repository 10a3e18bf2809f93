// The Windows side of the firmware tests' support. The local clouds are
// Linux programs (brickfix-cloud) that scripts/test-windows.sh starts beside
// Wine; BRICKFIX_TEST_CLOUDS names their folder: releases/ (shared by all),
// and per cloud KIND.address ("127.0.0.1:PORT") and KIND.log (its request
// log), KIND being server, untrusted, elsewhere (the trusted certificate on
// 127.0.0.2) or plain.
#include "firmware/FirmwareTestSupport.h"

#include "os/Sockets.h"

#include <cstdlib>

namespace fwtest {

void SetEnv(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

void UnsetEnv(const std::string& name) { _putenv_s(name.c_str(), ""); }

int ClosedPort() {
  StartWinsock();
  ScopedSocket sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(sock.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Wine's TLS does not resume sessions; whether the download reuses the
// query's connection is seen against a server that keeps connections open.
const bool kResumesTlsSessions = false;

namespace {

int g_liveClouds = 0;

std::string CloudsDir() {
  const char* dir = std::getenv("BRICKFIX_TEST_CLOUDS");
  return dir ? dir : "";
}

}  // namespace

struct LocalCloud::Impl {
  std::string kind;
  std::string host;
  std::string log;
  std::uintmax_t logStart = 0;
};

LocalCloud::LocalCloud(const std::string& kind, const std::string& address) : impl_(new Impl) {
  ++g_liveClouds;
  std::string dir = CloudsDir();
  if (dir.empty()) return;
  impl_->kind = kind == "server" && address != "127.0.0.1" ? "elsewhere" : kind;
  std::string host = ReadFile(dir + "/" + impl_->kind + ".address");
  impl_->host = host.substr(0, host.find_first_of("\r\n"));
  impl_->log = dir + "/" + impl_->kind + ".log";
  std::error_code missing;
  impl_->logStart = fs::file_size(impl_->log, missing);
  if (missing) impl_->logStart = 0;
  if (g_liveClouds == 1) {  // the first cloud of a test starts with no releases
    std::error_code ignored;
    fs::remove_all(dir + "/releases", ignored);
    fs::create_directories(dir + "/releases");
  }
  if (ready()) SetEnv("BRICKFIX_CLOUD_HOST", impl_->host);
}

LocalCloud::~LocalCloud() {
  --g_liveClouds;
  UnsetEnv("BRICKFIX_CLOUD_HOST");
}

bool LocalCloud::ready() const { return !impl_->host.empty(); }

void LocalCloud::AddRelease(const std::string& model, const std::string& manifest, const std::string& image) {
  std::string folder = CloudsDir() + "/releases/" + model;
  WriteFile(folder + "/release.json", manifest);
  WriteFile(folder + "/fw.bin", image);
}

std::string LocalCloud::host() const { return impl_->host; }

std::string LocalCloud::QueryUrl(const std::string& model) const {
  return (impl_->kind == "plain" ? "http://" : "https://") + host() + "/api/latest_rom?model=" + model;
}

std::vector<LocalCloud::SeenRequest> LocalCloud::Requests() const {
  std::vector<SeenRequest> seen;
  std::string text = ReadFile(impl_->log);
  std::istringstream lines(text.size() > impl_->logStart ? text.substr(impl_->logStart) : "");
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    SeenRequest request;
    std::string accept, resumed;
    std::getline(fields, request.target, '\t');
    std::getline(fields, request.userAgent, '\t');
    std::getline(fields, accept, '\t');
    std::getline(fields, resumed, '\t');
    request.hasAccept = accept == "1";
    request.resumedSession = resumed == "1";
    seen.push_back(request);
  }
  return seen;
}

// Open without FILE_SHARE_DELETE: nobody can delete the file meanwhile.
LockedFile::LockedFile(const std::string& path) : path_(path) {
  HANDLE file = CreateFileW(fs::path(path).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  locked_ = file != INVALID_HANDLE_VALUE;
  if (locked_) handle_ = reinterpret_cast<std::intptr_t>(file);
}

LockedFile::~LockedFile() {
  if (locked_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace fwtest
