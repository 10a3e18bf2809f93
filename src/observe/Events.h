// What the observer of the recovery link hears about: the link's carrier and
// addresses (from the system's link monitor), the frames a capture hands up,
// and what the TFTP service and the wizard do. Times count from the run's
// start. Nothing here depends on a system.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace observe {

using Millis = std::chrono::milliseconds;

// A frame of the recovery link that matters to the diagnosis (FrameDecoder.h).
struct FrameInfo {
  enum Kind : std::uint8_t {
    kArp,
    kTftpRequest,  // UDP to port 69 with a read or write request
    kTftp,         // any other UDP from or to port 69 or a transfer port
    kIcmp,
  };
  Kind kind = kArp;
  bool outgoing = false;  // sent by this machine
  // ARP: the sender's and the target's protocol address; IPv4: the source
  // and the destination. Host byte order.
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  std::uint16_t arpOperation = 0;  // 1 request, 2 reply
  std::uint16_t fromPort = 0;
  std::uint16_t toPort = 0;
  std::uint16_t opcode = 0;    // TFTP
  std::string fileName;        // of a request, cut to kMaxFileName bytes, as it came
  std::uint8_t icmpType = 0;
  std::uint8_t icmpCode = 0;

  static constexpr std::size_t kMaxFileName = 64;
};

// What the system's firewall does with the router's request to this
// program's TFTP port, as far as the system tells (Windows).
struct FirewallInfo {
  enum Verdict : std::uint8_t {
    kUnknown,    // it cannot be read
    kLetsIn,     // off, or a rule lets the request in
    kNoRule,     // on, and no rule lets the request in
    kBlockRule,  // a rule blocks it (rule)
    kBlockAll,   // the network's profile blocks every incoming connection
  };
  Verdict verdict = kUnknown;
  std::string profile;  // of the adapter's network: "domain", "private", "public"; "" unknown
  std::string rule;     // kBlockRule: its name

  bool Drops() const { return verdict == kNoRule || verdict == kBlockRule || verdict == kBlockAll; }
  bool operator==(const FirewallInfo&) const = default;
};

struct Event {
  enum Kind : std::uint8_t {
    kStart,           // the run has begun (text: version and system)
    kWaitBegin,       // the recovery address is set (address, prefixLength;
                      // text: the adapter): the wait for the router begins
    kWaitEnd,         // the router's first request was read
    kSessionEnd,      // the wizard changes the adapter itself: watching ends
    kCarrierUp,
    kCarrierDown,
    kAddressGone,     // the recovery address left the adapter (text: who, when known)
    kAddressBack,     // it is there again
    kAddressRepaired, // the watchdog has put it back
    kRepairFailed,    // the watchdog could not
    kFrame,
    kRequestRead,     // by the listener (address, port; text: the file name)
    kRequestIgnored,  // from outside the router's subnet (address, port)
    kPortTaken,       // the TFTP port is held (port; text: the holder; pid)
    kTransferStalled, // a transfer gave up after its retransmissions (address, port; text: file)
    kEnd,             // the run ends
    kNeighbour,       // the system has resolved a neighbour of the adapter (address): a
                      // frame from it came, where no capture shows the frames
    kFirewall,        // the firewall's verdict on the router's request changed (firewall)
    kRequestUnusable, // read by the listener but too long to serve (address, port)
  };
  Kind kind = kStart;
  Millis t{0};
  std::uint32_t address = 0;  // IPv4, host byte order
  std::uint16_t port = 0;
  int prefixLength = 0;
  int pid = 0;
  std::string text;
  std::string owner;  // kPortTaken: the user whose program holds the port, when known
  FrameInfo frame;
  FirewallInfo firewall;
};

// The name of an event in the timeline ("carrier-down", ...).
const char* EventName(Event::Kind kind);

// Where the system's link monitor reports the chosen adapter's state: once
// when it starts watching, then at every change.
class ILinkSink {
 public:
  virtual ~ILinkSink() = default;
  virtual void OnCarrier(bool up) = 0;
  // Every IPv4 address the adapter has now (host byte order).
  virtual void OnAddresses(const std::vector<std::uint32_t>& addresses) = 0;
  // Systems that show no frames: a neighbour the system has newly resolved
  // on the adapter (its neighbour table), and the firewall's verdict on the
  // router's request, once known and at every change.
  virtual void OnNeighbour(std::uint32_t /*address*/) {}
  virtual void OnFirewall(const FirewallInfo& /*firewall*/) {}
};

// The system's side: watches one adapter and tells `sink`, on a thread of
// its own, until Stop. Start again replaces the adapter.
class ILinkMonitor {
 public:
  virtual ~ILinkMonitor() = default;
  // False when the adapter cannot be watched (the sink hears nothing then).
  virtual bool Start(const std::string& adapter, ILinkSink& sink) = 0;
  // Returns once the sink is no longer called.
  virtual void Stop() = 0;
};

// Who holds a port (the system's side finds out).
struct PortHolder {
  std::string name;  // empty when it cannot be told
  int pid = 0;       // 0 when it cannot be told
  std::string owner;  // the user the holding socket belongs to; empty when unknown
};

// Where a capture of the recovery link hands up each frame it took: when it
// was taken (the monotonic clock), whether this machine sent it, its bytes
// (possibly cut) and its length on the wire. Callable from any thread.
class IFrameSink {
 public:
  virtual ~IFrameSink() = default;
  virtual void OnFrame(std::chrono::steady_clock::time_point when, bool outgoing,
                       std::span<const std::uint8_t> bytes, std::size_t wireLength) = 0;
};

// The system's capture of the recovery link (the network helper's on
// Linux): hands the adapter's frames to a sink, on a thread of its own,
// from Start until Stop. Start again replaces the adapter.
class ICapture {
 public:
  virtual ~ICapture() = default;
  // False when the frames cannot be had (the sink hears nothing then).
  virtual bool Start(const std::string& adapter, IFrameSink& sink) = 0;
  // The sink hears no frame taken afterwards.
  virtual void Stop() = 0;
};

}  // namespace observe
