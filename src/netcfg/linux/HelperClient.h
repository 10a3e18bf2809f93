// The program's side of the network helper: starting it, asking it, and the
// kernel and DHCP operations that go through it. The program itself keeps no
// capability; what needs one is a request (HelperProtocol.h). The only
// descriptor that ever comes back from the helper is UDP port 69; the
// frames of its capture come as messages.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "netcfg/linux/DhcpClient.h"
#include "netcfg/HelperProtocol.h"
#include "netcfg/linux/HelperService.h"
#include "netcfg/KernelNetwork.h"
#include "netcfg/linux/Netlink.h"
#include "observe/Events.h"
#include "platform/linux/InvokingUser.h"
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
  // Where the frames of the helper's capture go from now on; null: nowhere.
  // A frame on its way at the time of the call may still reach the sink it
  // replaces, so a sink must outlive the connection.
  virtual void WatchFrames(observe::IFrameSink* /*sink*/) {}
};

// The helper at the other end of a SOCK_SEQPACKET socket. Requests from
// several threads take turns. The frames that its capture hands up between
// the replies go, decoded, to the sink WatchFrames names, from a thread of
// the connection that starts with the first sink (so after the program has
// given up its rights).
class SocketConnection : public Connection {
 public:
  explicit SocketConnection(ScopedFd socket) : m_socket(std::move(socket)) {}
  ~SocketConnection() override { Close(); }
  bool Exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& reply,
                ScopedFd& passed) override;
  void WatchFrames(observe::IFrameSink* sink) override;

 protected:
  // Ends the frames' thread and closes our end. Idempotent.
  void Close();

 private:
  // A frame read by whoever reads the socket, for the frames' thread.
  void Keep(std::span<const std::uint8_t> message);
  void ReadFrames();

  std::mutex m_mutex;  // one exchange at a time; its holder alone reads the socket
  ScopedFd m_socket;
  std::mutex m_framesMutex;  // guards the members below
  observe::IFrameSink* m_sink = nullptr;
  std::deque<CapturedFrame> m_pending;
  bool m_stopping = false;
  ScopedFd m_wake;  // an eventfd that wakes the frames' thread
  std::thread m_reader;
};

// The helper, on its end of a socketpair.
class HelperProcess : public SocketConnection {
 public:
  // Starts the program at `path` with the socket as its descriptor 3 and
  // the run lock's file `lockFd` (when not -1) as its descriptor 4,
  // standard streams on /dev/null, the working directory "/", a fixed
  // environment, and this process's network capabilities handed on (the
  // helper normally has its own). Null, with the reason in `error`, when it
  // cannot be started or does not answer.
  static std::unique_ptr<HelperProcess> Start(const std::string& path, int lockFd, std::string& error);
  // Without a helper program: a forked copy of this process, in a session
  // of its own, that keeps the network capabilities this process has (and
  // nothing else of it but the socket and `lockFd`) and serves the requests
  // (RunHelper). For a process with a single thread.
  static std::unique_ptr<HelperProcess> Fork(int lockFd, std::string& error);
  ~HelperProcess() override;
  pid_t pid() const { return m_pid; }

 private:
  HelperProcess(ScopedFd socket, pid_t pid) : SocketConnection(std::move(socket)), m_pid(pid) {}
  // Asks for the status, as the helper of this version answers it; else
  // stops it and says why in `error`.
  static std::unique_ptr<HelperProcess> Answering(std::unique_ptr<HelperProcess> process,
                                                  const std::string& what, std::string& error);
  pid_t m_pid;
};

// No helper could be had: every request finds it gone.
class NoHelper : public Connection {
 public:
  bool Exchange(std::span<const std::uint8_t>, std::vector<std::uint8_t>&, ScopedFd&) override {
    return false;
  }
};

// The requests, typed. A request that fails writes the helper's reason to
// standard error (the diagnostics file while a window is open).
class Client {
 public:
  explicit Client(Connection& connection) : m_connection(connection) {}

  // The status reply: the helper's rights and what limits them.
  std::optional<Reply> Status();
  std::optional<HelperRights> Rights();
  // An adapter is named by its index in the helper's list of wired Ethernet
  // adapters; an adapter that is not in it fails as an unknown one. The
  // first set-up also tells the helper the DHCP client NoteServedBefore
  // named.
  KernelResult SetStatic(const std::string& ifname, const StaticIpv4& setup);
  KernelResult RemoveStatic(const std::string& ifname, const StaticIpv4& setup);
  KernelResult FlushNeighbours(const std::string& ifname);
  // The addresses and routes `state` lists (what of it is on the adapter,
  // and what is missing within the restore's bounds).
  KernelResult RestoreAdapter(const std::string& ifname, const AdapterState& state);
  bool StartDhcpClient(const std::string& ifname, const std::string& preferred);
  void NoteServedBefore(const std::string& ifname, const std::string& kind);
  // UDP port 69 answering only on `ifname`; not valid when it cannot be had.
  ScopedFd OpenTftpListener(const std::string& ifname);
  // One echo request to the router of the set-up `ifname` has; whether it
  // answered. Nothing when the helper cannot probe (no such set-up, no
  // helper).
  std::optional<bool> ProbeRouter(const std::string& ifname);
  // The helper's capture of the frames of `ifname` (which must have one of
  // the set-ups), handed to `sink` as they come, until StopCapture; false
  // when it cannot be had.
  bool StartCapture(const std::string& ifname, observe::IFrameSink& sink);
  void StopCapture();
  // The program ends as it means to: the helper leaves the adapters as they
  // are when our end closes.
  bool Goodbye();

 private:
  std::optional<std::int32_t> IndexOf(const std::string& ifname);
  std::optional<Reply> Ask(const Request& request, ScopedFd* passed = nullptr);
  KernelResult AskAdapter(Request request, const std::string& ifname);
  // One of the two fixed set-ups, given or taken away.
  KernelResult AskSetup(Kind kind, const std::string& ifname, const StaticIpv4& setup);

  Connection& m_connection;
  std::mutex m_mutex;
  std::map<std::string, std::string> m_servedBefore;  // DHCP client kind by adapter
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
  KernelResult FlushNeighbours(const std::string& ifname) override {
    return m_client.FlushNeighbours(ifname);
  }
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

// The observer's capture: the helper's.
class HelperCapture : public observe::ICapture {
 public:
  explicit HelperCapture(Client& client) : m_client(client) {}
  bool Start(const std::string& adapter, observe::IFrameSink& sink) override {
    return m_client.StartCapture(adapter, sink);
  }
  void Stop() override { m_client.StopCapture(); }

 private:
  Client& m_client;
};

class HelperDhcpStarter : public DhcpStarter {
 public:
  explicit HelperDhcpStarter(Client& client) : m_client(client) {}
  bool Start(const std::string& ifname, const std::string& preferred) override {
    return m_client.StartDhcpClient(ifname, preferred);
  }
  void NoteServedBefore(const std::string& ifname, const std::string& kind) override {
    m_client.NoteServedBefore(ifname, kind);
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
  // Starts the helper program when there is one, else forks this process
  // as its helper, so that the rights always sit in a process of their
  // own; hands it `lockFd` (RunLock::HelperDescriptor). Then gives up every
  // right of this process: becomes `invoker` when root was started on its
  // behalf, else drops every capability. Null, with the reason in `error`,
  // when the rights could not be given up (the program must not go on).
  static NetworkAccess* Open(int lockFd, const std::optional<Account>& invoker, std::string& error);

  Client& client() { return *m_client; }
  IKernelNetwork& kernel() { return *m_kernel; }
  DhcpStarter& dhcp() { return *m_dhcp; }
  observe::ICapture& capture() { return *m_capture; }
  // Empty when the address change, port 69 and the probe can all work;
  // else what will fail and how to give the helper its rights.
  std::string Notice();

 private:
  NetworkAccess() = default;

  std::string m_helperPath;  // where the helper program is, or should be
  std::string m_helperError;
  std::unique_ptr<Connection> m_connection;
  std::unique_ptr<Client> m_client;
  std::unique_ptr<HelperKernel> m_kernel;
  std::unique_ptr<HelperDhcpStarter> m_dhcp;
  std::unique_ptr<HelperCapture> m_capture;
};

}  // namespace helper
