#include "tools/routersim/RouterSim.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

namespace routersim {

namespace {

constexpr std::uint16_t kRrq = 1, kWrq = 2, kData = 3, kAck = 4, kError = 5, kWriteReply = 6;
constexpr std::size_t kBlock = 512;

std::string U16(std::uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
std::string Request(std::uint16_t opcode, const std::string& name) {
  return U16(opcode) + name + std::string("\0octet\0", 7);
}
std::string Ack(std::uint16_t block) { return U16(kAck) + U16(block); }
std::string Data(std::uint16_t block, const std::string& payload) {
  return U16(kData) + U16(block) + payload;
}
std::string Error(std::uint16_t code, const std::string& text) {
  return U16(kError) + U16(code) + text + std::string(1, '\0');
}

struct Packet {
  std::string bytes;
  sockaddr_in from{};
  std::uint16_t U16At(std::size_t at) const {
    if (bytes.size() < at + 2) return 0;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 |
                                      static_cast<unsigned char>(bytes[at + 1]));
  }
  std::uint16_t opcode() const { return U16At(0); }
  std::uint16_t block() const { return U16At(2); }
  std::string payload() const { return bytes.size() > 4 ? bytes.substr(4) : ""; }
  std::string text() const { return bytes.size() > 4 ? std::string(bytes.c_str() + 4) : ""; }
};

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A UDP socket on a port the system chooses, closed with its owner.
class Socket {
 public:
  Socket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  void SendTo(const std::string& bytes, const sockaddr_in& to) const {
    ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
  std::optional<Packet> Receive(int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd entry{m_fd, POLLIN, 0};
      int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
      if (ready == 0) return std::nullopt;
      if (ready < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      char buffer[2048];
      Packet p;
      socklen_t length = sizeof p.from;
      ssize_t got = ::recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&p.from), &length);
      if (got < 0) continue;  // an error queued by ICMP, or nothing after all
      p.bytes.assign(buffer, static_cast<std::size_t>(got));
      return p;
    }
  }
  std::uint16_t Port() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
  }

 private:
  int m_fd;
};

std::string Md5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

void Pause(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// How one transfer ended.
enum class End { kDone, kServerError, kNoAnswer, kBroken, kStopped };
struct Outcome {
  End end;
  std::string detail;
};

class Session {
 public:
  Session(const Options& options, std::FILE* out)
      : m_options(options), m_out(out), m_random(options.seed) {
    m_server.sin_family = AF_INET;
    m_server.sin_port = htons(options.port);
  }

  int Run();

 private:
  void Say(const std::string& line) {
    std::fprintf(m_out, "routersim: %s\n", line.c_str());
    std::fflush(m_out);
  }
  bool Chance(double percent) {
    return percent > 0 && std::uniform_real_distribution<double>(0, 100)(m_random) < percent;
  }
  void Check(bool ok, const std::string& what) {
    Say(what + (ok ? ": ok" : ": WRONG"));
    if (!ok) m_failed = true;
  }

  // Our packets of an exchange (not the requests) may be lost, doubled or late.
  void SendOurs(const Socket& sock, const std::string& bytes, const sockaddr_in& to) {
    if (Chance(m_options.drop)) return;
    if (Chance(m_options.delayShare))
      std::this_thread::sleep_for(std::chrono::milliseconds(m_options.delayMs));
    sock.SendTo(bytes, to);
    if (Chance(m_options.duplicate)) sock.SendTo(bytes, to);
  }
  // The server's packets of the exchange `tid`; a packet from any other port
  // is told it has the wrong transfer ID. Lost packets count as not received.
  std::optional<Packet> ReceiveTheirs(const Socket& sock, const sockaddr_in& tid) {
    for (;;) {
      auto p = sock.Receive(m_options.retransmitMs);
      if (!p) return p;
      if (!SameEndpoint(p->from, tid)) {
        Say("packet from port " + std::to_string(ntohs(p->from.sin_port)) + " refused");
        sock.SendTo(Error(5, "Unknown transfer ID"), p->from);
        continue;
      }
      if (Chance(m_options.drop)) continue;
      return p;
    }
  }
  // Sends a request until the server answers from its transfer port.
  std::optional<Packet> Ask(const Socket& sock, const std::string& request) {
    for (int attempt = 0; attempt <= m_options.retries; ++attempt) {
      sock.SendTo(request, m_server);
      auto p = sock.Receive(m_options.retransmitMs);
      if (p && p->from.sin_addr.s_addr == m_server.sin_addr.s_addr) return p;
    }
    return std::nullopt;
  }

  Outcome Fetch(const std::string& name, std::string& data);
  Outcome AskByArp(const std::string& address);
  bool Linger(const Socket& sock, const sockaddr_in& tid, const std::string& lastAck,
              std::uint16_t marker);
  Outcome Upload(const std::string& name, const std::string& report);
  Outcome AwaitAck(const Socket& sock, const sockaddr_in& tid, const std::string& packet,
                   std::uint16_t block);
  // Planned misbehaviour at block `n` (1-based). Returns an outcome when the
  // transfer stops here.
  std::optional<Outcome> Misbehave(const Socket& sock, const sockaddr_in& tid, long n,
                                   const std::string& answer);
  Outcome AwaitError(const Socket& sock, const sockaddr_in& tid);
  void ProbeAsStranger(const sockaddr_in& tid, const std::string& packet);
  void CheckImage(const std::string& data);
  int Conclude(const Outcome& outcome);

  const Options& m_options;
  std::FILE* m_out;
  std::mt19937 m_random;
  sockaddr_in m_server{};
  bool m_failed = false;
};

Outcome Session::Fetch(const std::string& name, std::string& data) {
  Socket sock;
  auto first = Ask(sock, Request(kRrq, name));
  if (!first) return {End::kNoAnswer, "no answer to the read request for " + name};
  sockaddr_in tid = first->from;
  Say("fetch " + name + " from port " + std::to_string(ntohs(tid.sin_port)));
  std::uint16_t expected = 1;
  std::string lastAck;
  long repeatedFor = 0;
  int misses = 0;
  for (std::optional<Packet> p = first;; p = ReceiveTheirs(sock, tid)) {
    if (!p) {
      if (++misses > m_options.retries) return {End::kNoAnswer, "the server fell silent"};
      if (!lastAck.empty()) SendOurs(sock, lastAck, tid);
      continue;
    }
    if (p->opcode() == kError) return {End::kServerError, p->text()};
    if (p->opcode() != kData)
      return {End::kBroken, "opcode " + std::to_string(p->opcode()) + " instead of DATA"};
    if (p->block() != expected) continue;  // a block we already have
    misses = 0;
    long n = static_cast<long>(data.size() / kBlock) + 1;
    if (auto stop = Misbehave(sock, tid, n, Ack(expected))) return *stop;
    if (n > 1 && repeatedFor != n && Chance(m_options.repeatAck)) {
      repeatedFor = n;
      SendOurs(sock, Ack(static_cast<std::uint16_t>(expected - 1)), tid);
      continue;
    }
    data += p->payload();
    lastAck = Ack(expected);
    SendOurs(sock, lastAck, tid);
    ++expected;
    if (p->payload().size() < kBlock) {
      bool marker = p->payload().empty() || Linger(sock, tid, lastAck, expected);
      Say(name + ": " + std::to_string(data.size()) + " bytes, end marker " +
          (marker ? "seen" : "not seen"));
      return {End::kDone, ""};
    }
  }
}

// Where a datagram to the server leaves: our address, the adapter's index
// and its hardware address. False when there is no such adapter.
bool LinkTowards(const sockaddr_in& server, in_addr& ours, int& index, unsigned char mac[6]) {
  int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  bool routed = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0 &&
                ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  if (probe >= 0) ::close(probe);
  ifaddrs* all = nullptr;
  if (!routed || getifaddrs(&all) != 0) return false;
  std::string name;
  for (ifaddrs* a = all; a; a = a->ifa_next) {
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
        reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == local.sin_addr.s_addr) {
      name = a->ifa_name;
    }
  }
  bool found = false;
  for (ifaddrs* a = all; a; a = a->ifa_next) {
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_PACKET && name == a->ifa_name) {
      auto* link = reinterpret_cast<sockaddr_ll*>(a->ifa_addr);
      index = link->sll_ifindex;
      std::copy(link->sll_addr, link->sll_addr + 6, mac);
      found = true;
    }
  }
  freeifaddrs(all);
  ours = local.sin_addr;
  return found;
}

// ARP requests for `address` from our address on the link towards the
// server, until one is answered or the retries are spent.
Outcome Session::AskByArp(const std::string& address) {
  in_addr target{}, ours{};
  int index = 0;
  unsigned char mac[6] = {};
  if (inet_pton(AF_INET, address.c_str(), &target) != 1) return {End::kBroken, "not an IPv4 address: " + address};
  if (!LinkTowards(m_server, ours, index, mac)) return {End::kBroken, "no adapter leads to " + m_options.server};
  int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
  if (fd < 0) return {End::kBroken, std::string("no packet socket: ") + std::strerror(errno)};
  std::string request = U16(1) + U16(ETH_P_IP) + "\x06\x04" + U16(1) + std::string(mac, mac + 6) +
                        std::string(reinterpret_cast<char*>(&ours), 4) + std::string(6, '\0') +
                        std::string(reinterpret_cast<char*>(&target), 4);
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(ETH_P_ARP);
  to.sll_ifindex = index;
  to.sll_halen = 6;
  std::fill(to.sll_addr, to.sll_addr + 6, 0xFF);
  Say("asking by ARP who has " + address);
  bool answered = false;
  for (int attempt = 0; attempt <= m_options.retries && !answered; ++attempt) {
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.retransmitMs);
    for (auto now = std::chrono::steady_clock::now(); now < deadline && !answered;
         now = std::chrono::steady_clock::now()) {
      pollfd entry{fd, POLLIN, 0};
      int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
      if (::poll(&entry, 1, wait) <= 0) continue;
      unsigned char reply[64];
      ssize_t got = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
      // A reply (operation 2) from the address asked for.
      answered = got >= 28 && reply[7] == 2 && std::memcmp(reply + 14, &target, 4) == 0;
    }
  }
  ::close(fd);
  if (answered) return {End::kDone, address + " answered"};
  return {End::kNoAnswer, "no answer to the ARP requests for " + address};
}

// After the last block the server sends one empty DATA packet more.
bool Session::Linger(const Socket& sock, const sockaddr_in& tid, const std::string& lastAck,
                     std::uint16_t marker) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    while (auto p = ReceiveTheirs(sock, tid)) {
      if (p->opcode() == kData && p->block() == marker && p->payload().empty()) return true;
    }
    SendOurs(sock, lastAck, tid);  // our last ACK may have been lost
  }
  return false;
}

std::optional<Outcome> Session::Misbehave(const Socket& sock, const sockaddr_in& tid, long n,
                                          const std::string& answer) {
  if (m_options.silentAfter >= 0 && n > m_options.silentAfter) {
    Say("silent after block " + std::to_string(m_options.silentAfter));
    return m_options.expectError.empty() ? Outcome{End::kStopped, ""} : AwaitError(sock, tid);
  }
  if (n == m_options.errorAt) {
    Say("answering block " + std::to_string(n) + " with an ERROR");
    sock.SendTo(Error(0, "Simulated router error"), tid);
    return AwaitError(sock, tid);
  }
  if (n == m_options.strangerAt) ProbeAsStranger(tid, answer);
  return std::nullopt;
}

void Session::ProbeAsStranger(const sockaddr_in& tid, const std::string& packet) {
  Socket stranger;
  stranger.SendTo(packet, tid);
  auto reply = stranger.Receive(2000);
  Check(reply && reply->opcode() == kError && reply->block() == 5 &&
            reply->text() == "Unknown transfer ID",
        "packet from another port (" + std::to_string(stranger.Port()) + ") refused with ERROR 5");
}

Outcome Session::AwaitError(const Socket& sock, const sockaddr_in& tid) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(m_options.errorWait);
  while (std::chrono::steady_clock::now() < deadline) {
    auto p = sock.Receive(m_options.retransmitMs);
    if (p && SameEndpoint(p->from, tid) && p->opcode() == kError)
      return {End::kServerError, p->text()};
  }
  return {End::kNoAnswer, "no ERROR from the server"};
}

Outcome Session::AwaitAck(const Socket& sock, const sockaddr_in& tid, const std::string& packet,
                          std::uint16_t block) {
  for (int misses = 0; misses <= m_options.retries;) {
    auto p = ReceiveTheirs(sock, tid);
    if (!p) {
      ++misses;
      SendOurs(sock, packet, tid);
      continue;
    }
    if (p->opcode() == kError) return {End::kServerError, p->text()};
    if (p->opcode() == kAck && p->block() == block) return {End::kDone, ""};
  }
  return {End::kNoAnswer, "no ACK of block " + std::to_string(block)};
}

Outcome Session::Upload(const std::string& name, const std::string& report) {
  Socket sock;
  auto reply = Ask(sock, Request(kWrq, name));
  if (!reply) return {End::kNoAnswer, "no answer to the write request"};
  if (reply->opcode() == kError) return {End::kServerError, reply->text()};
  if (reply->opcode() != kWriteReply || reply->block() != 0) {
    return {End::kBroken, "write request answered with opcode " + std::to_string(reply->opcode())};
  }
  sockaddr_in tid = reply->from;
  Say("upload " + name + " to port " + std::to_string(ntohs(tid.sin_port)) + ": reply opcode 6");
  std::size_t blocks = report.size() / kBlock + 1;  // a last short (maybe empty) block
  for (std::size_t k = 1; k <= blocks; ++k) {
    auto block = static_cast<std::uint16_t>(k);
    std::string packet = Data(block, report.substr((k - 1) * kBlock, kBlock));
    if (auto stop = Misbehave(sock, tid, static_cast<long>(k), packet)) return *stop;
    SendOurs(sock, packet, tid);
    Outcome acked = AwaitAck(sock, tid, packet, block);
    if (acked.end != End::kDone) return acked;
  }
  Say(name + ": " + std::to_string(report.size()) + " bytes in " + std::to_string(blocks) +
      " blocks acknowledged");
  if (!m_options.expectError.empty()) return AwaitError(sock, tid);
  return {End::kDone, ""};
}

void Session::CheckImage(const std::string& data) {
  std::string md5 = Md5Hex(data);
  Say("image md5 " + md5);
  if (m_options.expectSize) {
    Check(data.size() == *m_options.expectSize, "size " + std::to_string(data.size()) +
                                                    " expected " +
                                                    std::to_string(*m_options.expectSize));
  }
  if (!m_options.expectMd5.empty())
    Check(md5 == m_options.expectMd5, "md5 expected " + m_options.expectMd5);
  if (!m_options.saveTo.empty()) {
    std::ofstream file(m_options.saveTo, std::ios::binary);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    Check(file.good(), "saved to " + m_options.saveTo);
  }
}

// The sequence stopped before its end: was that the end asked for?
int Session::Conclude(const Outcome& outcome) {
  switch (outcome.end) {
    case End::kServerError:
      Say("server sent ERROR \"" + outcome.detail + "\"");
      return !m_failed && !m_options.expectError.empty() && outcome.detail == m_options.expectError
                 ? 0
                 : 1;
    case End::kNoAnswer:
      Say(outcome.detail);
      return !m_failed && m_options.expectSilence ? 0 : 1;
    case End::kStopped:
      Say("stopped as asked");
      return m_failed ? 1 : 0;
    case End::kBroken:
      Say("protocol error: " + outcome.detail);
      return 1;
    case End::kDone:
      break;
  }
  return m_failed ? 1 : 0;
}

int Session::Run() {
  if (inet_pton(AF_INET, m_options.server.c_str(), &m_server.sin_addr) != 1) {
    Say("not an IPv4 address: " + m_options.server);
    return 1;
  }
  if (m_options.sendNothing) {
    Say("sending nothing");
    return 0;
  }
  if (!m_options.arpFor.empty()) {
    Outcome asked = AskByArp(m_options.arpFor);
    if (asked.end != End::kDone) return Conclude(asked);
    Say(asked.detail);
    return m_options.expectSilence ? 1 : 0;
  }
  Outcome outcome{End::kDone, ""};
  if (m_options.fetchConfig) {
    std::string cfg;
    outcome = Fetch("recovery-cfg.bin", cfg);
    if (outcome.end != End::kDone) return Conclude(outcome);
    Check(cfg.size() == 52 && cfg.compare(0, 4, "\xEF\xEF\xEF\xEF") == 0,
          "configuration record of 52 bytes");
  }
  if (!m_options.image.empty()) {
    std::string image;
    outcome = Fetch(m_options.image, image);
    if (outcome.end != End::kDone) return Conclude(outcome);
    CheckImage(image);
  }
  if (m_options.report) {
    Pause(m_options.waitBeforeReport);
    outcome = Upload(m_options.reportName, *m_options.report);
    if (outcome.end != End::kDone) return Conclude(outcome);
  }
  if (!m_options.expectError.empty() || m_options.expectSilence) {
    Say("the server did not end the sequence as expected");
    return 1;
  }
  return m_failed ? 1 : 0;
}

}  // namespace

int Run(const Options& options, std::FILE* out) {
  int status = Session(options, out).Run();
  Pause(options.waitBeforeExit);
  return status;
}

}  // namespace routersim
