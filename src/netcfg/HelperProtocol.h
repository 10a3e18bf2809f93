// The requests that the network helper carries out for the program, and its
// replies: a fixed, versioned binary layout, one message per request on a
// SOCK_SEQPACKET socket, little-endian numbers, IPv4 addresses as their four
// bytes in order. Descriptors the helper opens travel with the reply
// (SCM_RIGHTS).
//
// The helper holds the network rights; the program that asks does not. So
// every request is taken apart here and checked against the short list of
// what the helper does, before anything is done: anything malformed, too
// long, of another version, or outside that list is refused as a whole.
// There are no paths, command lines or free addresses in any request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "netcfg/KernelNetwork.h"

namespace helper {

constexpr std::uint32_t kMagic = 0x48584642;  // "BFXH" as it lies in memory
constexpr std::uint16_t kVersion = 2;
// No request or reply is longer.
constexpr std::size_t kMaxMessage = 4096;
// What a restore request may carry at most.
constexpr std::size_t kMaxAddresses = 16;
constexpr std::size_t kMaxRoutes = 64;
// What a request for DNS servers may carry at most.
constexpr std::size_t kMaxDnsServers = 8;
// The routing table and route type a restore request speaks of: the main
// table, ordinary routes.
constexpr std::uint32_t kMainTable = 254;
constexpr int kUnicastRoute = 1;
// The TFTP port the helper opens, the only one.
constexpr std::uint16_t kTftpPort = 69;
// The helper's capture of the recovery link hands up at most this many
// bytes of each frame, and at most kFramesPerSecond frames a second (in
// bursts of at most kFrameBurst).
constexpr std::size_t kSnapLength = 128;
constexpr int kFramesPerSecond = 1000;
constexpr int kFrameBurst = 200;

enum class Kind : std::uint16_t {
  kStatus = 1,        // the helper's rights
  kListAdapters,      // the wired Ethernet adapters: index and name
  kSetStatic,         // one adapter gets one of the two fixed set-ups
  kRemoveStatic,      // and loses it again
  kStartDhcpClient,   // the system's DHCP client for one adapter
  kFlushNeighbours,   // empties one adapter's part of the IPv4 neighbour table
  kOpenTftpListener,  // UDP port 69, bound to one adapter; passed back
  // 8 stays unused: it once passed a raw socket to the program.
  kRestoreAdapter = 9,  // addresses and routes from the adapter's journal, within bounds
  kProbeRouter,         // one echo request to the router of the adapter's set-up
  kGoodbye,             // the program ends as it means to: adapters stay as they are
  kSetDnsServers,       // Windows: one adapter's DNS servers, from DHCP or as its journal lists them
  kStartCapture,        // the frames of one adapter with a set-up that the diagnosis
                        // needs, handed up as they come (replaces a capture that runs)
  kStopCapture,         // no more frames
  kCapturedFrame,       // no request: a frame the helper hands up unasked
};
// The last kind; new kinds go after it.
constexpr Kind kLastKind = Kind::kCapturedFrame;
// The kind a request's number names; nothing for a number of no kind.
std::optional<Kind> KindOf(std::uint16_t value);

// The two fixed set-ups: address, /24, default route through the router's
// address on that subnet with metric 1.
enum class Setup : std::uint8_t {
  kRecovery = 1,  // 192.168.1.88, gateway 192.168.1.1
  kLan = 2,       // 192.168.199.88, gateway 192.168.199.1
};
StaticIpv4 SetupValues(Setup setup);
// The set-up `values` is, when it is one of the two.
std::optional<Setup> SetupOf(const StaticIpv4& values);

// The DHCP client the adapter had, by kind ("" for the system's first).
enum class DhcpKind : std::uint8_t { kAny = 0, kDhclient, kDhcpcd, kUdhcpc };
std::string DhcpKindName(DhcpKind kind);
std::optional<DhcpKind> DhcpKindOf(const std::string& name);

struct Request {
  Kind kind = Kind::kStatus;
  std::int32_t ifindex = 0;  // the adapter, for every kind that names one
  Setup setup = Setup::kRecovery;
  // kStartDhcpClient: the client to start. kSetStatic: the client that
  // served the adapter before (when `dhcpBefore`), which the helper starts
  // again should it put the adapter back by itself.
  DhcpKind dhcp = DhcpKind::kAny;
  bool dhcpBefore = false;
  // kRestoreAdapter: the addresses and routes (main table, ordinary routes)
  // the adapter shall have. The link is left as it is; the routes' protocol
  // is not sent (what the helper adds is "static").
  AdapterState state;
  // kSetDnsServers: from DHCP, or these (unicast host addresses, in order).
  bool dnsFromDhcp = true;
  std::vector<std::string> dnsServers;
};

// The request's bytes; empty when it cannot be put into a request (a value
// outside what the helper accepts, such as a route of another table).
std::vector<std::uint8_t> EncodeRequest(const Request& request);

// The request in `message`, when it is one the helper carries out: the
// layout exact to the last byte, a known kind, and every value within its
// bounds (see IsAcceptableState). Nothing otherwise.
std::optional<Request> DecodeRequest(std::span<const std::uint8_t> message);

// What a restore request can say: at most kMaxAddresses IPv4 addresses with
// a prefix of 0 to 32 and a label of printable characters; at most
// kMaxRoutes routes of the main table, ordinary ones, each to a proper
// network, with a preferred source that is one of those addresses. What
// may be added of it is decided where the adapter's present state is known
// (RestoreBoundsHold), as is the labels' prefix.
bool IsAcceptableState(const AdapterState& state);
// What a request for DNS servers may ask for: DHCP and no address, or at
// most kMaxDnsServers unicast host addresses (not 0/8, 127/8, multicast or
// reserved).
bool IsAcceptableDns(bool fromDhcp, const std::vector<std::string>& servers);

enum class Status : std::uint8_t {
  kDone = 0,
  kFailed = 1,   // tried; the kernel (or the system) said no
  kRefused = 2,  // the helper may not (it lacks the rights)
  kInvalid = 3,  // the request is not one the helper carries out
};

struct AdapterEntry {
  std::int32_t index = 0;
  std::string name;
  bool operator==(const AdapterEntry&) const = default;
};

// The rights the helper holds, as its status reply gives them.
struct HelperRights {
  bool netAdmin = false;
  bool netRaw = false;
  bool bindService = false;
  bool pingSocket = false;
  bool port69Open = false;
};

struct Reply {
  Kind kind = Kind::kStatus;
  Status status = Status::kInvalid;
  std::string text;  // why it failed, for the diagnostics; may be empty.
                     // kStatus: what limits the helper's rights, if anything
  HelperRights rights;                // kStatus
  bool reached = false;               // kProbeRouter: the router answered
  std::vector<AdapterEntry> adapters;  // kListAdapters
};

// A reply of `kind` with `status` and the reason `text`.
inline Reply Answer(Kind kind, Status status, std::string text = "") {
  Reply reply;
  reply.kind = kind;
  reply.status = status;
  reply.text = std::move(text);
  return reply;
}

std::vector<std::uint8_t> EncodeReply(const Reply& reply);
std::optional<Reply> DecodeReply(std::span<const std::uint8_t> message);

// A frame the helper's capture took, as it hands it up between the replies.
struct CapturedFrame {
  std::uint64_t monotonicNs = 0;  // when it was taken (CLOCK_MONOTONIC)
  bool outgoing = false;          // sent by this machine
  std::uint32_t wireLength = 0;   // its length on the wire
  std::vector<std::uint8_t> bytes;  // its first kSnapLength bytes at most
  bool operator==(const CapturedFrame&) const = default;
};

std::vector<std::uint8_t> EncodeCapturedFrame(const CapturedFrame& frame);
// Whether `message` is a captured frame rather than a reply.
bool IsCapturedFrame(std::span<const std::uint8_t> message);
// The frame in `message`: the layout exact, at most kSnapLength bytes and
// no more than its wire length. Nothing otherwise.
std::optional<CapturedFrame> DecodeCapturedFrame(std::span<const std::uint8_t> message);

}  // namespace helper
