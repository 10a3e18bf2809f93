// The program's side of the network helper: starting it, asking it, and the
// kernel and DHCP operations that go through it. The program itself keeps no
// capability; what needs one is a request (HelperProtocol.h).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "netcfg/linux/DhcpClient.h"
#include "netcfg/HelperProtocol.h"
#include "netcfg/linux/HelperService.h"
#include "netcfg/KernelNetwork.h"
#include "netcfg/linux/Netlink.h"
#include "platform/linux/NetworkRights.h"
#include "platform/linux/ProcessRunner.h"
#include "platform/linux/ScopedFd.h"

namespace helper {

// One request and its reply.
class Connection {
 public:
  virtual ~Connection() = default;
  // Sends `request` and waits for the reply; a descriptor that came with it
  // goes to `passed`. False when the helper cannot be reached (it has gone).
  virtual bool Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                        ScopedFd& passed) = 0;
};

// The helper program, on its end of a socketpair (its descriptor 3).
// Requests from several threads take turns.
class HelperProcess : public Connection {
 public:
  // Starts the program at `path` with standard streams on /dev/null, the
  // working directory "/", a fixed environment, and this process's network
  // capabilities handed on (the helper normally has its own). Null, with the
  // reason in `error`, when it cannot be started or does not answer.
  static std::unique_ptr<HelperProcess> Start(const std::string& path, std::string& error);
  ~HelperProcess() override;
  bool Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                ScopedFd& passed) override;
  pid_t pid() const { return m_pid; }

 private:
  HelperProcess(ScopedFd socket, pid_t pid) : m_socket(std::move(socket)), m_pid(pid) {}
  std::mutex m_mutex;
  ScopedFd m_socket;
  pid_t m_pid;
};

// The requests carried out in this process, with its own rights, through the
// same checks as in the helper.
class InProcess : public Connection {
 public:
  explicit InProcess(Service& service) : m_service(service) {}
  bool Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                ScopedFd& passed) override {
    reply = m_service.Handle(request, passed);
    return true;
  }

 private:
  Service& m_service;
};

// The requests, typed. A request that fails writes the helper's reason to
// standard error (the diagnostics file while a window is open).
class Client {
 public:
  explicit Client(Connection& connection) : m_connection(connection) {}

  std::optional<HelperRights> Rights();
  // An adapter is named by its index in the helper's list of wired Ethernet
  // adapters; an adapter that is not in it fails as an unknown one.
  KernelResult SetStatic(const std::string& ifname, const StaticIpv4& setup);
  KernelResult RemoveStatic(const std::string& ifname, const StaticIpv4& setup);
  KernelResult FlushNeighbours();
  KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state);
  bool StartDhcpClient(const std::string& ifname, const std::string& preferred);
  // UDP port 69 answering only on `ifname`; not valid when it cannot be had.
  ScopedFd OpenTftpListener(const std::string& ifname);
  // A raw ICMP socket for echo replies; not valid without the right (and
  // not asked for again once the helper has said so).
  ScopedFd OpenEchoSocket();

 private:
  std::optional<std::int32_t> IndexOf(const std::string& ifname);
  std::optional<Reply> Ask(const Request& request, ScopedFd* passed = nullptr);
  KernelResult AskAdapter(Request request, const std::string& ifname);
  // One of the two fixed set-ups, given or taken away.
  KernelResult AskSetup(Kind kind, const std::string& ifname, const StaticIpv4& setup);

  Connection& m_connection;
  std::atomic<bool> m_echoRefused{false};
};

// The kernel's tables: read here (that needs no right), changed through the
// helper.
class HelperKernel : public IKernelNetwork {
 public:
  explicit HelperKernel(Client& client) : m_client(client) {}
  bool ListLinks(std::vector<KernelLink>& out) override { return m_reader.ListLinks(out); }
  bool ListIpv4Addresses(std::vector<KernelAddress>& out) override {
    return m_reader.ListIpv4Addresses(out);
  }
  KernelResult ApplyStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override {
    return m_client.SetStatic(ifname, setup);
  }
  KernelResult RemoveStaticIpv4(const std::string& ifname, const StaticIpv4& setup) override {
    return m_client.RemoveStatic(ifname, setup);
  }
  KernelResult FlushNeighbours() override { return m_client.FlushNeighbours(); }
  KernelResult ReadAdapter(const std::string& ifname, AdapterState& out) override {
    return m_reader.ReadAdapter(ifname, out);
  }
  KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state) override {
    return m_client.RestoreAdapter(ifname, state);
  }

 private:
  Client& m_client;
  NetlinkKernel m_reader;
};

class HelperDhcpStarter : public DhcpStarter {
 public:
  explicit HelperDhcpStarter(Client& client) : m_client(client) {}
  bool Start(const std::string& ifname, const std::string& preferred) override {
    return m_client.StartDhcpClient(ifname, preferred);
  }

 private:
  Client& m_client;
};

// Where the helper program is: beside this program's real path, as the
// build and the installation put it (never looked up through PATH or the
// environment). The installed place first, then the build's.
std::vector<std::string> HelperCandidates(const std::string& programPath);

// How this run reaches the network rights. Made first thing in main, while
// the process has a single thread.
class NetworkAccess {
 public:
  // Starts the helper when there is one and gives up every capability of
  // this process. Without a helper the process keeps the network
  // capabilities it has (root) and carries the requests out itself.
  static NetworkAccess* Open();

  Client& client() { return *m_client; }
  IKernelNetwork& kernel() { return *m_kernel; }
  DhcpStarter& dhcp() { return *m_dhcp; }
  // True when the helper program carries the requests out.
  bool viaHelper() const { return m_viaHelper; }
  // Empty when the address change, port 69 and the ping can all work; else
  // what will fail and how to give the helper its rights.
  std::string Notice();

 private:
  NetworkAccess() = default;

  bool m_viaHelper = false;
  std::string m_helperPath;  // where the helper is, or should be
  std::string m_helperError;
  // The in-process side, when there is no helper.
  std::unique_ptr<NetlinkKernel> m_localKernel;
  std::unique_ptr<PosixProcessRunner> m_dhcpRunner;
  std::unique_ptr<LocalDhcpStarter> m_localDhcp;
  std::unique_ptr<Service> m_service;
  std::unique_ptr<Connection> m_connection;
  std::unique_ptr<Client> m_client;
  std::unique_ptr<HelperKernel> m_kernel;
  std::unique_ptr<HelperDhcpStarter> m_dhcp;
};

}  // namespace helper
