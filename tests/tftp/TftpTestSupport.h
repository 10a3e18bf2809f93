// A TFTP service on 127.0.0.1 with a real dialog wired to fakes, and a test
// peer that plays the router by hand.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/errqueue.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "fakes/Fakes.h"
#include "firmware/ServedFile.h"
#include "tftp/TftpOps.h"
#include "tftp/UdpSocket.h"

namespace tftp_test {

using namespace std::chrono_literals;

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A port that was free a moment ago, with the next one free too. It lies
// above the system's ephemeral range, so sockets bound to port 0 (the test
// peers, other tests) do not take it meanwhile.
inline std::uint16_t FreePortPair() {
  unsigned low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<unsigned> pick(std::min(high + 1, 65000u), 65533);
  for (;;) {
    auto port = static_cast<std::uint16_t>(pick(random));
    tftp::UdpSocket a = tftp::UdpSocket::Open();
    tftp::UdpSocket b = tftp::UdpSocket::Open();
    if (a.Bind(port) && b.Bind(static_cast<std::uint16_t>(port + 1))) return port;
  }
}

inline std::string U16(std::uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
inline std::string Request(std::uint16_t opcode, const std::string& name) {
  return U16(opcode) + name + std::string("\0octet\0", 7);
}
inline std::string Ack(std::uint16_t block) { return U16(tftp::kAck) + U16(block); }
inline std::string Data(std::uint16_t block, const std::string& payload) {
  return U16(tftp::kData) + U16(block) + payload;
}
inline std::string Error(std::uint16_t code, const std::string& text) {
  return U16(tftp::kError) + U16(code) + text + std::string(1, '\0');
}

struct Datagram {
  std::string bytes;
  std::uint16_t fromPort = 0;
  std::uint16_t opcode() const { return bytes.size() < 2 ? 0 : ReadU16(0); }
  std::uint16_t block() const { return bytes.size() < 4 ? 0 : ReadU16(2); }
  std::string payload() const { return bytes.size() < 4 ? "" : bytes.substr(4); }
  // The text of an ERROR packet.
  std::string text() const { return bytes.size() < 5 ? "" : std::string(bytes.c_str() + 4); }
  std::uint16_t ReadU16(std::size_t at) const {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) << 8 |
                                      static_cast<std::uint8_t>(bytes[at + 1]));
  }
};

// The router's side of the conversation, on a socket of its own.
class Peer {
 public:
  // At 127.0.0.1 unless another loopback address (host byte order) is given.
  explicit Peer(std::uint32_t address = INADDR_LOOPBACK) : m_sock(tftp::UdpSocket::Open()) {
    EXPECT_TRUE(m_sock.Bind(address, 0));
  }
  std::uint16_t port() const { return m_sock.LocalPort(); }

  void Send(std::uint16_t to, const std::string& bytes) const {
    m_sock.SendTo({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
                  Loopback(to));
  }
  std::optional<Datagram> Receive(std::chrono::milliseconds timeout = 2000ms) {
    std::uint8_t buffer[1024];
    sockaddr_in from{};
    std::size_t length = 0;
    if (m_sock.ReceiveWithin(buffer, from, length, timeout) !=
        tftp::UdpSocket::Receive::kDatagram) {
      return std::nullopt;
    }
    return Datagram{std::string(reinterpret_cast<char*>(buffer), std::min(length, sizeof buffer)),
                    ntohs(from.sin_port)};
  }

  // From now on the ICMP errors that the peer's datagrams draw are kept for
  // MetClosedPort().
  void HearIcmpErrors() const {
    int on = 1;
    EXPECT_EQ(setsockopt(m_sock.fd(), IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
  }
  // True when a datagram sent met a closed port (ICMP port unreachable)
  // within `wait`.
  bool MetClosedPort(std::chrono::milliseconds wait = 200ms) const {
    pollfd entry{m_sock.fd(), 0, 0};
    if (poll(&entry, 1, static_cast<int>(wait.count())) <= 0 || !(entry.revents & POLLERR))
      return false;
    char data[64], control[256];
    iovec iov{data, sizeof data};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(m_sock.fd(), &message, MSG_ERRQUEUE) < 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err error{};
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      if (error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_type == ICMP_DEST_UNREACH &&
          error.ee_code == ICMP_PORT_UNREACH)
        return true;
    }
    return false;
  }

 private:
  tftp::UdpSocket m_sock;
};

// A TFTP service for a real dialog whose platform, network and firmware are
// fakes. The served files live here; the test thread is not the user-
// interface thread, so console calls from the transfer threads run at once.
class Service {
 public:
  explicit Service(std::chrono::microseconds firstTimeout = 200ms, std::uint16_t listenPort = 0)
      : firstPort(FreePortPair()),
        ops(std::make_unique<TftpOps>(listenPort, firstPort, firstTimeout)) {
    // The router is on loopback, and the one at 127.0.0.1 has fetched the
    // image: its reports are believed.
    ops->SetRouterSubnet(INADDR_LOOPBACK, 8);
    ops->Fetchers().Add(htonl(INADDR_LOOPBACK));
    CBrickfixDlg::Services services = MakeServices(view, bridge, platform, firmware, net, *ops);
    services.observer = &observer;
    dlg = std::make_unique<CBrickfixDlg>(services);
    dlg->InitConsole();
    dlg->m_strModel = "RX2001";
    dlg->m_nAdapter = 1;
    std::strcpy(dlg->m_szAdapterNames[1], "lan0");
    dlg->m_nStep = 5;
    ops->SetBodyRunner([this](const std::function<void()>& body) {
      try {
        body();
      } catch (const FakeExit& e) {
        std::lock_guard<std::mutex> lock(mutex);
        transferExits.push_back(e.status);
      }
    });
    result.assign(1024, 0);
    config.assign(52, 0xEF);
    Serve({});
  }

  ~Service() {
    EXPECT_TRUE(ops->WaitUntilIdle(20s)) << "a transfer is still running";
    ops.reset();
    platform.JoinAll();
    g_recoveryBin = {};
    g_recoveryCfg = {};
    g_recoveryResult = {};
    g_pMainDlg = nullptr;
  }

  // Points the served files at `imageBytes` and the service's own blocks.
  void Serve(std::vector<std::uint8_t> imageBytes) {
    image = std::move(imageBytes);
    g_recoveryBin = {image.data(), static_cast<int>(image.size())};
    g_recoveryCfg = {config.data(), static_cast<int>(config.size())};
    g_recoveryResult = {result.data(), static_cast<int>(result.size())};
  }

  // Starts the listener and waits until it is bound; its port, or 0.
  std::uint16_t Start() {
    dlg->m_pTftpThread = ops->StartListener(dlg.get());
    for (int i = 0; i < 2000 && ops->ListenerPort() == 0; ++i) {
      {
        std::lock_guard<std::mutex> lock(platform.mutex);
        if (!platform.exits.empty()) return 0;
      }
      std::this_thread::sleep_for(1ms);
    }
    return ops->ListenerPort();
  }

  bool Idle() { return ops->WaitUntilIdle(20s); }
  std::vector<int> Exits() {
    std::lock_guard<std::mutex> lock(mutex);
    return transferExits;
  }
  bool HasLine(const std::string& line) const {
    for (const std::string& l : view.LogLines()) {
      if (l == line) return true;
    }
    return false;
  }
  std::vector<NetCommand::Kind> Commands() {
    std::lock_guard<std::mutex> lock(net.mutex);
    std::vector<NetCommand::Kind> kinds;
    for (const NetCommand& c : net.commands) kinds.push_back(c.kind);
    return kinds;
  }

  FakeView view;
  UiBridge bridge;
  FakePlatform platform{FakePlatform::kRealThreads};
  FakeFirmware firmware;
  FakeNet net;
  FakeObserver observer;
  std::uint16_t firstPort;
  std::unique_ptr<TftpOps> ops;
  std::unique_ptr<CBrickfixDlg> dlg;
  std::vector<std::uint8_t> image, config, result;
  std::mutex mutex;
  std::vector<int> transferExits;
};

inline std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed = 1) {
  std::vector<std::uint8_t> data(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return data;
}

}  // namespace tftp_test
