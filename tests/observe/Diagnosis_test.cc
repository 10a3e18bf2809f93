// The diagnosis of a wait, fed with recorded event sequences: which causes
// come out, when, with which detail, and when the watchdog puts the address
// back. Each step is "<ms> <event> [arguments]"; each result "<ms> <cause>
// [detail]" or "<ms> repair". Where no frame is seen (Windows), the system's
// neighbour table and the firewall's verdict ("firewall VERDICT [PROFILE
// [RULE]]") stand in for them.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "netcfg/Ipv4.h"
#include "observe/Diagnosis.h"

namespace {

using observe::DiagnosisEngine;
using observe::Event;
using observe::FirewallInfo;
using observe::FrameInfo;
using observe::Millis;
using Lines = std::vector<std::string>;

std::uint32_t Ip(const std::string& text) { return ParseIpv4(text).value_or(0); }

// "arp-req FROM>TO", "arp-reply FROM>TO", "tftp-req FROM>TO", optionally
// followed by "out".
FrameInfo Frame(std::istringstream& in) {
  std::string kind, route, direction;
  in >> kind >> route >> direction;
  std::size_t arrow = route.find('>');
  FrameInfo f;
  f.from = Ip(route.substr(0, arrow));
  f.to = Ip(route.substr(arrow + 1));
  f.outgoing = direction == "out";
  if (kind == "tftp-req") {
    f.kind = FrameInfo::kTftpRequest;
    f.toPort = 69;
    f.opcode = 1;
  } else {
    f.kind = FrameInfo::kArp;
    f.arpOperation = kind == "arp-req" ? 1 : 2;
  }
  return f;
}

// Runs the steps and returns what came out.
Lines Replay(const Lines& steps) {
  static const std::map<std::string, Event::Kind> kKinds = {
      {"carrier-up", Event::kCarrierUp}, {"carrier-down", Event::kCarrierDown},
      {"gone", Event::kAddressGone},     {"back", Event::kAddressBack},
      {"repaired", Event::kAddressRepaired}, {"repair-failed", Event::kRepairFailed},
      {"released", Event::kSessionEnd},  {"read", Event::kRequestRead},
      {"ignored", Event::kRequestIgnored}, {"port-taken", Event::kPortTaken},
      {"stalled", Event::kTransferStalled}, {"frame", Event::kFrame},
      {"neighbour", Event::kNeighbour},  {"firewall", Event::kFirewall},
      {"unusable", Event::kRequestUnusable}};
  static const std::map<std::string, FirewallInfo::Verdict> kVerdicts = {
      {"unknown", FirewallInfo::kUnknown}, {"lets-in", FirewallInfo::kLetsIn}, {"no-rule", FirewallInfo::kNoRule},
      {"block-rule", FirewallInfo::kBlockRule}, {"block-all", FirewallInfo::kBlockAll}};
  DiagnosisEngine engine;
  Lines out;
  for (const std::string& step : steps) {
    std::istringstream in(step);
    long long ms = 0;
    std::string what;
    in >> ms >> what;
    DiagnosisEngine::Outcome outcome;
    if (what == "tick") {
      outcome = engine.Tick(Millis(ms));
    } else {
      Event e;
      e.t = Millis(ms);
      if (what == "wait") {
        e.kind = Event::kWaitBegin;
        e.address = Ip("192.168.1.88");
        e.prefixLength = 24;
      } else {
        auto kind = kKinds.find(what);
        if (kind == kKinds.end()) {
          ADD_FAILURE() << "unknown step " << step;
          continue;
        }
        e.kind = kind->second;
        if (e.kind == Event::kFrame) {
          e.frame = Frame(in);
        } else if (e.kind == Event::kRequestRead || e.kind == Event::kRequestIgnored ||
                   e.kind == Event::kRequestUnusable || e.kind == Event::kTransferStalled) {
          std::string address;
          in >> address;
          e.address = Ip(address);
          in >> e.text;
        } else if (e.kind == Event::kNeighbour) {
          std::string address;
          in >> address;
          e.address = Ip(address);
        } else if (e.kind == Event::kFirewall) {
          std::string verdict;
          in >> verdict >> e.firewall.profile >> e.firewall.rule;
          e.firewall.verdict = kVerdicts.at(verdict);
        } else if (e.kind == Event::kPortTaken) {
          in >> e.text >> e.pid >> e.owner;
          if (e.text == "-") e.text.clear();
        } else {
          in >> e.text;
        }
      }
      outcome = engine.OnEvent(e);
    }
    for (const observe::Diagnosis& d : outcome.causes) {
      std::string detail = observe::DetailOf(d);
      out.push_back(std::to_string(ms) + " " + observe::CauseCode(d.cause) + (detail.empty() ? "" : " " + detail));
    }
    if (outcome.repair) out.push_back(std::to_string(ms) + " repair");
  }
  return out;
}

struct Case {
  const char* name;
  Lines steps;
  Lines expected;
};

const Case kCases[] = {
    {"a healthy wait says nothing",
     {"0 carrier-up", "0 wait", "2000 tick", "3000 read 192.168.1.1 recovery.bin", "60000 tick",
      "70000 frame arp-req 192.168.1.1>192.168.1.2"},
     {}},
    {"no carrier for 5 s, once; no-frames needs a carrier",
     {"0 carrier-down", "100 wait", "5000 tick", "5100 tick", "6000 tick", "40000 tick"},
     {"5100 no-link"}},
    {"no-link counts from the carrier's loss during the wait",
     {"0 carrier-up", "0 wait", "10000 carrier-down", "14900 tick", "15000 tick"},
     {"15000 no-link"}},
    {"no request for 30 s of carrier; a flap starts the count again",
     {"0 carrier-up", "0 wait", "20000 carrier-down", "21000 carrier-up", "50900 tick", "51000 tick"},
     {"51000 no-frames"}},
    {"a frame from the router starts the count again; ours do not",
     {"0 carrier-up", "0 wait", "10000 frame arp-reply 192.168.1.1>192.168.1.88",
      "20000 frame arp-req 192.168.1.88>192.168.1.1 out", "39900 tick", "40000 tick"},
     {"40000 no-frames"}},
    {"frames come a little late: one taken before the wait is not its evidence, nor moves the count back",
     {"0 carrier-up", "1000 wait", "900 frame arp-req 192.168.0.1>192.168.0.66",
      "11000 frame arp-reply 192.168.1.1>192.168.1.88", "10000 frame arp-reply 192.168.1.1>192.168.1.88",
      "40900 tick", "41000 tick"},
     {"41000 no-frames"}},
    {"a link that was never reported counts as present for no-frames",
     {"0 wait", "30000 tick"},
     {"30000 no-frames"}},
    {"the router asks for another server: only a real request, while waiting",
     {"0 carrier-up", "0 wait", "100 frame arp-req 192.168.0.1>192.168.0.1",
      "200 frame arp-req 0.0.0.0>192.168.0.66", "300 frame arp-req 192.168.1.1>192.168.1.88",
      "400 frame arp-req 192.168.1.88>192.168.0.66 out", "500 frame arp-req 192.168.0.1>192.168.0.66",
      "600 frame arp-req 192.168.0.1>192.168.0.77"},
     {"500 router-expects 192.168.0.66"}},
    {"no router-expects once the router has asked",
     {"0 wait", "100 read 192.168.1.1 recovery.bin", "200 frame arp-req 192.168.0.1>192.168.0.66"},
     {}},
    {"a request seen twice on the wire and never read is blocked",
     {"0 carrier-up", "0 wait", "1000 frame tftp-req 192.168.1.1>192.168.1.88",
      "2000 frame tftp-req 192.168.1.1>255.255.255.255", "2900 tick", "3000 tick"},
     {"3000 blocked"}},
    {"a request read in time is not blocked; another host's request is not ours",
     {"0 wait", "1000 frame tftp-req 192.168.1.1>192.168.1.88", "1500 frame tftp-req 192.168.1.1>192.168.1.77",
      "2000 frame tftp-req 192.168.1.1>192.168.1.88", "2100 read 192.168.1.1 recovery.bin", "9000 tick"},
     {}},
    {"an over-long request the listener read but could not serve is not blocked",
     {"0 wait", "1000 frame tftp-req 192.168.1.1>192.168.1.88", "2000 frame tftp-req 192.168.1.1>192.168.1.88",
      "2100 unusable 192.168.1.1", "9000 tick"}, {}},
    {"without frames: the router resolved, nothing read, and the firewall without a rule for it",
     {"0 firewall no-rule public", "0 carrier-up", "0 wait", "1000 neighbour 192.168.1.1", "2400 tick",
      "2500 tick"},
     {"2500 blocked firewall, public profile: no rule lets UDP 69 in"}},
    {"a resolved router is a frame from it (the subnet's broadcast is not); a firewall not read blocks nothing",
     {"0 carrier-up", "0 firewall unknown", "0 wait", "20000 neighbour 192.168.1.1",
      "20100 neighbour 192.168.1.255", "20200 neighbour 10.0.0.1", "30000 tick", "49900 tick", "50000 tick"},
     {"50000 no-frames"}},
    {"a request read in time is not blocked by the rule; in the next wait it is",
     {"0 firewall block-rule private Block_brickfix", "0 wait", "100 neighbour 192.168.1.1",
      "500 read 192.168.1.1 recovery.bin", "9000 tick", "10000 wait", "10100 neighbour 192.168.1.1",
      "11600 tick", "11700 firewall block-all public", "11800 tick"},
     {"11600 blocked firewall, private profile: the rule \"Block_brickfix\" blocks it"}},
    {"a request from another subnet, seen by the listener or on the wire, once",
     {"0 wait", "100 ignored 10.0.0.1", "200 ignored 10.0.0.2", "300 frame tftp-req 10.0.0.3>192.168.1.88"},
     {"100 other-subnet 10.0.0.1"}},
    {"other-subnet from the wire alone",
     {"0 wait", "300 frame tftp-req 10.0.0.3>192.168.1.88"},
     {"300 other-subnet 10.0.0.3"}},
    {"the address goes with the link up: put back, told once it is",
     {"0 carrier-up", "0 wait", "1000 gone NetworkManager", "1200 tick", "1300 tick", "1310 back",
      "1320 repaired", "5000 tick"},
     {"1300 repair", "1320 address-lost put back; taken by NetworkManager"}},
    {"the repair's own result may come before the address shows",
     {"0 carrier-up", "0 wait", "1000 gone", "1300 tick", "1320 repaired", "1400 back"},
     {"1300 repair", "1400 address-lost put back"}},
    {"an address back by itself within the grace is no cause",
     {"0 carrier-up", "0 wait", "1000 gone", "1200 back", "9000 tick"},
     {}},
    {"the address goes with the link down: told at once, put back when the link is",
     {"0 carrier-up", "0 wait", "500 carrier-down", "1000 gone", "2400 tick", "2500 tick", "7000 tick",
      "8000 carrier-up", "8200 tick", "8300 tick", "8310 repaired", "8320 back"},
     {"2500 address-lost not put back yet: no link", "7000 no-link", "8300 repair"}},
    {"a failed repair is told and tried again later, at most five times a wait",
     {"0 carrier-up", "0 wait", "1000 gone", "1300 tick", "1400 repair-failed", "2000 tick", "3300 tick",
      "3400 repair-failed", "5400 tick", "5500 repair-failed", "7500 tick", "7600 repair-failed", "9600 tick",
      "9700 repair-failed", "20000 tick"},
     {"1300 repair", "1400 address-lost could not be put back", "3300 repair", "5400 repair", "7500 repair",
      "9600 repair"}},
    {"the port's holder, its pid or its user",
     {"0 wait", "100 port-taken sleep 4242 root"},
     {"100 port-taken sleep pid 4242"}},
    {"a holder that cannot be seen is named by its user",
     {"0 wait", "100 port-taken - 0 tftp"},
     {"100 port-taken a program of user tftp"}},
    {"a stalled transfer is told after the router has asked",
     {"0 wait", "100 read 192.168.1.1 recovery.bin", "65000 stalled 192.168.1.1 recovery.bin",
      "70000 stalled 192.168.1.1 recovery.bin"},
     {"65000 stalled 192.168.1.1 recovery.bin"}},
    {"nothing is watched once the wizard has released the address",
     {"0 carrier-up", "0 wait", "100 released", "200 carrier-down", "300 gone", "20000 tick",
      "40000 tick", "40100 port-taken x 1 root"},
     {}},
    {"each cause once per wait, again in the next wait",
     {"0 carrier-down", "0 wait", "5000 tick", "6000 tick", "20000 wait", "24900 tick", "25000 tick"},
     {"5000 no-link", "25000 no-link"}},
    {"nothing before the first wait",
     {"0 carrier-down", "9000 tick", "9100 ignored 10.0.0.1", "9200 stalled 192.168.1.1 x"},
     {}},
};

TEST(DiagnosisTest, RecordedSequences) {
  for (const Case& c : kCases) {
    EXPECT_EQ(Replay(c.steps), c.expected) << c.name;
  }
}

}  // namespace
