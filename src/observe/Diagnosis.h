// The diagnosis of a wait for the router: events and clock ticks in, causes
// out, each at most once per wait, and the watchdog's decision to put the
// recovery address back. Pure: no clock, no thread, no system.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "observe/Events.h"

namespace observe {

enum class Cause : std::uint8_t {
  kNoLink,
  kNoFrames,
  kRouterExpects,
  kBlocked,
  kOtherSubnet,
  kAddressLost,
  kPortTaken,
  kStalled,
};
constexpr std::size_t kCauseCount = 8;

// The cause's stable code ("no-link", ...).
const char* CauseCode(Cause cause);

struct Diagnosis {
  // address-lost: what became of the address by the time it is reported.
  enum class Repair : std::uint8_t { kNone, kPutBack, kLinkDown, kPending, kFailed };
  Cause cause = Cause::kNoLink;
  Millis t{0};
  // router-expects: the address asked for; other-subnet, stalled: the router's.
  std::uint32_t address = 0;
  std::string name;  // port-taken: the holder; address-lost: who took it; stalled: the file
  int pid = 0;       // port-taken
  std::string owner;  // port-taken: the holder's user
  Repair repair = Repair::kNone;
  std::uint32_t ours = 0;  // the recovery address of the wait
  int prefixLength = 24;
  FirewallInfo firewall;  // blocked, where the firewall's state is the evidence
};

// What the operator's firewall is, for the advice of `blocked`.
enum class FirewallKind : std::uint8_t { kLinux, kWindows };

// The detail for the timeline: the address, the holder, what became of the
// address; empty when the cause has none.
std::string DetailOf(const Diagnosis& d);
// The log line: what was seen and what to do, in the log's language.
std::string LogLineOf(const Diagnosis& d, FirewallKind firewall);

struct Timings {
  Millis noLink{5000};         // no carrier this long while waiting
  Millis noFrames{30000};      // carrier, and nothing from the router this long
  Millis unreadRequest{1000};  // a request seen twice on the wire, still unread
  Millis unreadNeighbour{1500};  // the router resolved, no request read, the firewall against it
  Millis addressSettle{1500};  // a lost address is reported at the latest after this
  Millis repairGrace{300};     // the address may come back by itself meanwhile
  Millis repairRetry{2000};    // between two attempts of the watchdog
  int maxRepairs = 5;          // attempts per wait
};

class DiagnosisEngine {
 public:
  struct Outcome {
    std::vector<Diagnosis> causes;
    bool repair = false;  // put the recovery address back now (the caller
                          // reports kAddressRepaired or kRepairFailed)
  };

  explicit DiagnosisEngine(Timings timings = {}) : m_timings(timings) {}

  Outcome OnEvent(const Event& event);
  Outcome Tick(Millis now);

  bool InSession() const { return m_session; }
  // Between the start of a wait and the router's first request read.
  bool Waiting() const { return m_waiting; }

 private:
  enum class Carrier : std::uint8_t { kUnknown, kUp, kDown };

  void Evaluate(Millis now, Outcome& out);
  void Report(Diagnosis d, Millis now, Outcome& out);
  void OnFrame(const Event& event, Outcome& out);
  void OnNeighbour(const Event& event);
  bool InOurSubnet(std::uint32_t address) const;
  bool ToUs(std::uint32_t address) const;

  Timings m_timings;
  Carrier m_carrier = Carrier::kUnknown;
  Millis m_carrierSince{0};

  bool m_session = false;
  bool m_waiting = false;
  Millis m_begun{0};
  std::uint32_t m_ours = 0;
  int m_prefixLength = 24;
  std::bitset<kCauseCount> m_reported;
  Millis m_lastFromRouter{0};
  int m_requestFrames = 0;
  Millis m_secondRequest{0};
  int m_requestsHeard = 0;
  std::optional<Millis> m_routerResolved;  // this wait, by the system's neighbour table
  FirewallInfo m_firewall;

  // The recovery address and the watchdog.
  bool m_present = true;
  Millis m_goneAt{0};
  std::string m_takenBy;
  bool m_repairing = false;
  bool m_repairedOk = false;
  bool m_repairFailed = false;
  bool m_triedThisLoss = false;
  int m_repairs = 0;  // this wait
  Millis m_lastRepair{0};
};

}  // namespace observe
