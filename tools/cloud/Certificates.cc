// Throw-away certificates for the local cloud, made with the openssl command.
#include <arpa/inet.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "cloud/CloudServer.h"

extern char** environ;

namespace {

// Runs openssl with `args`, its output appended to `log`; true on exit 0.
bool RunOpenssl(std::vector<std::string> args, const std::string& log) {
  args.insert(args.begin(), "openssl");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool IsIpAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string AltNames(const std::vector<std::string>& hosts) {
  std::string names;
  for (const std::string& host : hosts) {
    if (!names.empty()) names += ",";
    // Some clients match the host only against DNS names, an address too.
    names += (IsIpAddress(host) ? "IP:" + host + ",DNS:" : "DNS:") + host;
  }
  return names;
}

bool WriteConfig(const std::string& path, const std::vector<std::string>& hosts) {
  std::ofstream out(path);
  out << "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = Brickfix test\n"
      << "[ca_ext]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
      << "subjectKeyIdentifier = hash\n"
      << "[server_ext]\nbasicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
      << "extendedKeyUsage = serverAuth\nsubjectKeyIdentifier = hash\n"
      << "authorityKeyIdentifier = keyid\nsubjectAltName = " << AltNames(hosts) << "\n";
  out.close();
  return static_cast<bool>(out);
}

// One CA (`ca`.pem, `ca`-key.pem) and one server certificate (`cert`.pem,
// `cert`-key.pem) issued by it.
bool MakePair(const std::string& dir, const std::string& ca, const std::string& cert,
              const std::string& subject, const std::string& log) {
  const std::string config = dir + "/openssl.cnf";
  const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                        "-nodes"};
  std::vector<std::string> makeCa = {"req", "-x509", "-config", config, "-extensions", "ca_ext",
                                     "-keyout", dir + "/" + ca + "-key.pem", "-out", dir + "/" + ca + ".pem",
                                     "-days", "3650", "-subj", "/CN=Brickfix " + ca};
  makeCa.insert(makeCa.end(), key.begin(), key.end());
  std::vector<std::string> makeRequest = {"req", "-new", "-config", config,
                                          "-keyout", dir + "/" + cert + "-key.pem",
                                          "-out", dir + "/" + cert + ".csr", "-subj", "/CN=" + subject};
  makeRequest.insert(makeRequest.end(), key.begin(), key.end());
  std::vector<std::string> sign = {"x509", "-req", "-in", dir + "/" + cert + ".csr",
                                   "-CA", dir + "/" + ca + ".pem", "-CAkey", dir + "/" + ca + "-key.pem",
                                   "-CAcreateserial", "-CAserial", dir + "/" + ca + ".srl",
                                   "-out", dir + "/" + cert + ".pem", "-days", "825",
                                   "-extfile", config, "-extensions", "server_ext"};
  return RunOpenssl(makeCa, log) && RunOpenssl(makeRequest, log) && RunOpenssl(sign, log);
}

}  // namespace

bool MakeCertificates(const std::string& dir, const std::vector<std::string>& hosts,
                      std::string& error) {
  if (hosts.empty()) {
    error = "no host name for the certificate";
    return false;
  }
  ::mkdir(dir.c_str(), 0755);
  const std::string log = dir + "/openssl.log";
  if (!WriteConfig(dir + "/openssl.cnf", hosts)) {
    error = "cannot write " + dir + "/openssl.cnf";
    return false;
  }
  if (!MakePair(dir, "ca", "server", hosts.front(), log) ||
      !MakePair(dir, "untrusted-ca", "untrusted", hosts.front(), log)) {
    error = "the openssl command failed; see " + log;
    return false;
  }
  return true;
}
