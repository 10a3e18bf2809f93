// The network helper's side: carrying out the requests of HelperProtocol.h
// with the rights of the process it runs in, for the one program at the
// other end of its socket.
//
// Before it first changes an adapter the helper reads what the adapter has,
// and keeps it for its whole life. When the program's end closes without a
// goodbye (the program was killed or crashed), it puts every adapter it
// changed back as it was by itself, before it ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "netcfg/AdapterSnapshot.h"
#include "netcfg/linux/DhcpClient.h"
#include "netcfg/linux/FrameCapture.h"
#include "netcfg/HelperProtocol.h"
#include "netcfg/KernelNetwork.h"
#include "platform/linux/ScopedFd.h"

namespace helper {

// One echo request to `address` through `ifname` only; true when its reply
// came within the probe's wait.
using RouterProbe = std::function<bool(const std::string& ifname, const std::string& address)>;
// The capture of one adapter's frames; null, with errno in `error`, when it
// cannot be had.
using CaptureOpener = std::function<std::unique_ptr<FrameSource>(const KernelLink& link, int& error)>;

class Service {
 public:
  // Without `probe`, the echo goes out of a raw ICMP socket (the ping socket
  // where that is refused); without `now`, the system clock; without
  // `capture`, a packet socket (OpenPacketCapture).
  Service(IKernelNetwork& kernel, DhcpStarter& dhcp, RouterProbe probe = {},
          std::function<long long()> now = {}, CaptureOpener capture = {});

  // Decodes one request, checks it and carries it out; the reply's bytes. A
  // descriptor the reply passes back goes to `passed`.
  std::vector<std::uint8_t> Handle(std::span<const std::uint8_t> message, ScopedFd& passed);
  // The same for a request already decoded (and so within its bounds).
  Reply Carry(const Request& request, ScopedFd& passed);
  // The program's end has closed. Unless the program said goodbye, each
  // adapter this helper changed gets back its addresses and routes, the
  // DHCP client the helper started for it ends, and the one that served it
  // before runs again.
  void ProgramGone();
  // What limits the helper's rights, for its status reply; empty: nothing.
  void SetLimit(std::string limit) { m_limit = std::move(limit); }
  // The capture's descriptor while one runs (readable when frames wait);
  // -1 otherwise.
  int CaptureDescriptor() const { return m_capture ? m_capture->Descriptor() : -1; }
  // At most `most` of the frames that wait, each as the message that hands
  // it up.
  std::vector<std::vector<std::uint8_t>> TakeFrames(std::size_t most);

 private:
  struct Adapter {
    std::optional<AdapterSnapshot> before;  // read before the first change
    bool dhcpBefore = false;                // a DHCP client served it then
    DhcpKind dhcp = DhcpKind::kAny;         // which one
    std::optional<Setup> setup;             // whose router the probe asks
    std::optional<Setup> inEffect;          // the helper's set-up, until it changes the adapter otherwise
  };

  // The link with `index` when it is an adapter the helper acts on.
  std::optional<KernelLink> SuitableAdapter(std::int32_t index);
  void RememberBeforeChange(const KernelLink& link, const Request& request);
  Reply Restore(const std::string& ifname, const AdapterState& wanted);
  // The set-up whose address the adapter has now (NetworkManager's, for
  // the program, counts too).
  std::optional<Setup> SetupSeen(const KernelLink& link);
  Reply Probe(const KernelLink& link);
  Reply StartCapture(const KernelLink& link);
  // Another change than putting the set-up back ends what the helper's
  // set-up was: and the capture, which runs on the recovery link only.
  void AdapterChanges(const Request& request);

  IKernelNetwork& m_kernel;
  DhcpStarter& m_dhcp;
  RouterProbe m_probe;
  std::function<long long()> m_now;
  CaptureOpener m_openCapture;
  std::unique_ptr<FrameSource> m_capture;
  std::int32_t m_captureIndex = 0;
  Setup m_captureSetup = Setup::kRecovery;
  std::string m_limit;
  std::map<std::int32_t, Adapter> m_adapters;  // by index
  bool m_goodbye = false;
};

// One message from the SOCK_SEQPACKET socket `fd` into `buffer` (its size
// is the most it takes), with the descriptors that came along; its length,
// 0 when the other end has closed, -1 on an error (or, with MSG_DONTWAIT
// in `flags`, when none waits). `truncated` when the
// message or its descriptors did not fit.
ssize_t ReceiveMessage(int fd, std::vector<std::uint8_t>& buffer, std::vector<ScopedFd>& descriptors,
                       bool& truncated, int flags = 0);

// The helper's loop on the socket `fd`: one request per message, one reply
// each, until the other end closes (or the socket fails); then
// Service::ProgramGone. Descriptors sent along with a request are closed
// unread and the request is refused. While a capture runs, its frames go
// to the program between the replies, each as a message of its own; a
// frame that finds the program's end full is dropped, so the helper never
// waits for the program to read them.
void Serve(int fd, Service& service);

// The helper's life on the socket `socketFd`, in "/" with the signals a
// helper keeps and the helper's part of the run lock (`lockFd`, -1 for
// none) held: serving the real kernel until the program has gone. `limit`
// goes to the status reply. The exit status.
int RunHelper(int socketFd, int lockFd, const std::string& limit);

}  // namespace helper
