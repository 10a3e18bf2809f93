#include "netcfg/linux/DhcpClient.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

constexpr const char* kUdhcpcScript = "/etc/udhcpc/default.script";

std::string StateFile(const DhcpClientFiles& files, const std::string& fallbackDir,
                      const std::string& name) {
  return (files.stateDir.empty() ? fallbackDir : files.stateDir) + "/" + name;
}

DhcpClient Dhclient(const std::string& program, const std::string& ifname,
                    const DhcpClientFiles& files) {
  DhcpClient client{{}, StateFile(files, "/run", "dhclient." + ifname + ".pid"), "dhclient"};
  client.argv = {program, "-4", "-d", "-pf", client.pidFile,
                 "-lf", StateFile(files, "/var/lib/dhcp", "dhclient." + ifname + ".leases")};
  if (!files.script.empty()) client.argv.insert(client.argv.end(), {"-sf", files.script});
  client.argv.push_back(ifname);
  return client;
}

DhcpClient Dhcpcd(const std::string& program, const std::string& ifname,
                  const DhcpClientFiles& files) {
  DhcpClient client{{program, "-B", "-4"}, "", "dhcpcd"};
  if (!files.script.empty()) client.argv.insert(client.argv.end(), {"-c", files.script});
  client.argv.push_back(ifname);
  return client;
}

DhcpClient Udhcpc(std::vector<std::string> program, const std::string& ifname,
                  const std::string& script, const DhcpClientFiles& files) {
  // Started through busybox, the process keeps busybox's name.
  std::string name = program.size() > 1 ? "busybox" : "udhcpc";
  DhcpClient client{std::move(program), StateFile(files, "/run", "udhcpc." + ifname + ".pid"), name};
  client.argv.insert(client.argv.end(), {"-f", "-i", ifname, "-s", script, "-p", client.pidFile});
  return client;
}

// True while `pid` runs under `name`; a process that has ended but is not yet
// reaped no longer counts.
bool Running(pid_t pid, const std::string& name) {
  std::string running;
  unsigned long long startTime = 0;
  return ReadProcessStat(pid, running, startTime) && running == name;
}

}  // namespace

DhcpClient FindDhcpClient(IProcessRunner& runner, const std::string& ifname,
                          const DhcpClientFiles& files, const std::string& preferred) {
  if (preferred == "dhcpcd") {
    if (std::string path = runner.Find("dhcpcd"); !path.empty()) return Dhcpcd(path, ifname, files);
  }
  if (preferred == "udhcpc") {
    std::string script = files.script.empty() ? runner.Find(kUdhcpcScript) : files.script;
    if (std::string path = runner.Find("udhcpc"); !path.empty() && !script.empty()) {
      return Udhcpc({path}, ifname, script, files);
    }
  }
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

void StopPreviousClient(const DhcpClient& client) {
  if (client.pidFile.empty()) return;
  std::ifstream in(client.pidFile);
  long pid = 0;
  // A stale pid file may name an unrelated process by now: only the client
  // itself is stopped.
  if (!(in >> pid) || pid <= 1 || !Running(static_cast<pid_t>(pid), client.processName)) return;
  kill(static_cast<pid_t>(pid), SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (Running(static_cast<pid_t>(pid), client.processName) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string DhcpClientServing(const RunningProcess& process, const std::string& ifname) {
  const std::vector<std::string>& argv = process.argv;
  if (argv.empty()) return "";
  std::string program = argv[0].substr(argv[0].rfind('/') + 1);
  std::size_t first = 1;
  if (program == "busybox" && argv.size() > 1 && argv[1] == "udhcpc") {
    program = "udhcpc";
    first = 2;
  }
  if (process.name != program && !(program == "udhcpc" && process.name == "busybox")) return "";
  if (program == "udhcpc") {
    for (std::size_t i = first; i < argv.size(); ++i) {
      if (((argv[i] == "-i" || argv[i] == "--interface") && i + 1 < argv.size() && argv[i + 1] == ifname) ||
          argv[i] == "-i" + ifname || argv[i] == "--interface=" + ifname) {
        return program;
      }
    }
    return "";
  }
  if (program != "dhclient" && program != "dhcpcd") return "";
  // Their adapters are the arguments that are not options or option values;
  // the adapter's name as a plain argument is enough to tell.
  for (std::size_t i = first; i < argv.size(); ++i) {
    if (argv[i] == ifname) return program;
  }
  return "";
}

const RunningProcess* LocalDhcpStarter::Running(const std::string& ifname) {
  auto it = m_started.find(ifname);
  if (it == m_started.end()) return nullptr;
  for (const RunningProcess& process : m_runner.ListProcesses()) {
    if (process.pid == it->second.pid && process.name == it->second.name &&
        (it->second.startTime == 0 || process.startTime == it->second.startTime)) {
      return &it->second;
    }
  }
  m_started.erase(it);
  return nullptr;
}

bool LocalDhcpStarter::Start(const std::string& ifname, const std::string& preferred) {
  if (Running(ifname)) return true;  // ours serves it already
  DhcpClient client = FindDhcpClient(m_runner, ifname, m_files, preferred);
  if (client.argv.empty()) return false;
  StopPreviousClient(client);
  ProcessResult started = m_runner.Start(client.argv);
  if (!started.started) return false;
  RunningProcess process{started.pid, client.processName, {}, 0};
  for (const RunningProcess& running : m_runner.ListProcesses()) {
    if (running.pid == started.pid) process = running;  // with its start time
  }
  m_started[ifname] = process;
  return true;
}

void LocalDhcpStarter::StopStarted(const std::string& ifname) {
  if (const RunningProcess* process = Running(ifname)) {
    m_runner.StopProcess(*process);
    m_started.erase(ifname);
  }
}
