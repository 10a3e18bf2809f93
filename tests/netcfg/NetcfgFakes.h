// Stand-ins for the process runner and the kernel's network tables, so that
// the adapter commands can be checked without touching the machine.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "netcfg/KernelNetwork.h"
#include "netcfg/linux/HelperClient.h"
#include "platform/linux/ProcessRunner.h"

using Argv = std::vector<std::string>;

class FakeRunner : public IProcessRunner {
 public:
  // Programs by name ("nmcli") are found in /usr/sbin; absolute paths as given.
  std::string Find(const std::string& program) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!installed.count(program)) return "";
    return program.find('/') == std::string::npos ? "/usr/sbin/" + program : program;
  }
  ProcessResult Run(const Argv& argv) override {
    std::lock_guard<std::mutex> lock(mutex);
    runs.push_back(argv);
    return onRun ? onRun(argv) : ProcessResult{true, 0, 0, -1, ""};
  }
  ProcessResult Start(const Argv& argv) override {
    std::lock_guard<std::mutex> lock(mutex);
    starts.push_back(argv);
    return ProcessResult{startWorks, startWorks ? 0 : ENOENT, -1, startWorks ? 4242 : -1, ""};
  }
  std::vector<RunningProcess> ListProcesses() override {
    std::lock_guard<std::mutex> lock(mutex);
    return processes;
  }
  bool StopProcess(const RunningProcess& process) override {
    std::lock_guard<std::mutex> lock(mutex);
    stopped.push_back(process.pid);
    std::erase_if(processes, [&](const RunningProcess& p) { return p.pid == process.pid; });
    return true;
  }

  std::mutex mutex;
  std::set<std::string> installed;
  std::function<ProcessResult(const Argv&)> onRun;  // default: ran, status 0
  bool startWorks = true;
  std::vector<Argv> runs, starts;
  std::vector<RunningProcess> processes;  // what ListProcesses finds
  std::vector<pid_t> stopped;
};

class FakeKernel : public IKernelNetwork {
 public:
  bool ListLinks(std::vector<KernelLink>& out) override {
    out = links;
    return listWorks;
  }
  bool ListIpv4Addresses(std::vector<KernelAddress>& out) override {
    out = addresses;
    return listWorks;
  }
  KernelResult ApplyStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override {
    calls.push_back("apply " + ifname + " " + Describe(setup));
    return result;
  }
  KernelResult RemoveStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override {
    calls.push_back("remove " + ifname + " " + Describe(setup));
    return result;
  }
  KernelResult FlushNeighbours(const std::string& ifname) override {
    calls.push_back("flush " + ifname);
    return result;
  }
  KernelResult ReadAdapter(const std::string& ifname, AdapterState& out) override {
    out = adapter;
    return ifname == "eth0" ? KernelResult::kDone : KernelResult::kFailed;
  }
  KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state) override {
    calls.push_back("restore " + ifname);
    restored = state;
    return result;
  }

  static std::string Describe(const StaticIpv4& s) {
    return s.address + "/" + std::to_string(s.prefixLength) + " via " + s.gateway + " metric " +
           std::to_string(s.metric);
  }

  bool listWorks = true;
  std::vector<KernelLink> links;
  std::vector<KernelAddress> addresses;
  KernelResult result = KernelResult::kDone;
  std::vector<std::string> calls;
  AdapterState adapter;   // what eth0 has
  AdapterState restored;  // what RestoreAdapter was given last
};

// The helper's requests carried out in the test's own process, through the
// same decoding and checks as in the helper.
class InProcess : public helper::Connection {
 public:
  explicit InProcess(helper::Service& service) : m_service(service) {}
  bool Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                ScopedFd& passed) override {
    reply = m_service.Handle(request, passed);
    return true;
  }

 private:
  helper::Service& m_service;
};
