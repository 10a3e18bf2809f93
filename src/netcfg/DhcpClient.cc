#include "netcfg/DhcpClient.h"

namespace {

constexpr const char* kUdhcpcScript = "/etc/udhcpc/default.script";

std::string StateFile(const DhcpClientFiles& files, const std::string& fallbackDir,
                      const std::string& name) {
  return (files.stateDir.empty() ? fallbackDir : files.stateDir) + "/" + name;
}

std::vector<std::string> Dhclient(const std::string& program, const std::string& ifname,
                                  const DhcpClientFiles& files) {
  std::vector<std::string> argv = {
      program, "-4", "-d",
      "-pf", StateFile(files, "/run", "dhclient." + ifname + ".pid"),
      "-lf", StateFile(files, "/var/lib/dhcp", "dhclient." + ifname + ".leases")};
  if (!files.script.empty()) argv.insert(argv.end(), {"-sf", files.script});
  argv.push_back(ifname);
  return argv;
}

std::vector<std::string> Dhcpcd(const std::string& program, const std::string& ifname,
                                const DhcpClientFiles& files) {
  std::vector<std::string> argv = {program, "-B", "-4"};
  if (!files.script.empty()) argv.insert(argv.end(), {"-c", files.script});
  argv.push_back(ifname);
  return argv;
}

std::vector<std::string> Udhcpc(std::vector<std::string> program, const std::string& ifname,
                                const std::string& script, const DhcpClientFiles& files) {
  program.insert(program.end(),
                 {"-f", "-i", ifname, "-s", script, "-p",
                  StateFile(files, "/run", "udhcpc." + ifname + ".pid")});
  return program;
}

}  // namespace

std::vector<std::string> DhcpClientCommand(IProcessRunner& runner, const std::string& ifname,
                                           const DhcpClientFiles& files) {
  if (std::string path = runner.Find("dhclient"); !path.empty()) {
    return Dhclient(path, ifname, files);
  }
  if (std::string path = runner.Find("dhcpcd"); !path.empty()) return Dhcpcd(path, ifname, files);
  std::string script = files.script.empty() ? runner.Find(kUdhcpcScript) : files.script;
  if (script.empty()) return {};
  if (std::string path = runner.Find("udhcpc"); !path.empty()) {
    return Udhcpc({path}, ifname, script, files);
  }
  if (std::string path = runner.Find("busybox"); !path.empty()) {
    return Udhcpc({path, "udhcpc"}, ifname, script, files);
  }
  return {};
}
