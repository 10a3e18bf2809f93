// The observer's side of Windows: the firewall's verdict on the router's
// request, and what the link monitor tells from one look at the adapter to
// the next. (Wine's firewall tells nothing; its adapters are checked by the
// scenarios under Wine.)
#include <gtest/gtest.h>

#include "netcfg/Ipv4.h"
#include "netcfg/windows/WinFirewall.h"
#include "netcfg/windows/WinLinkMonitor.h"
#include "platform/windows/RunFiles.h"

#include <filesystem>
#include <fstream>

#include "firmware/FirmwareTestSupport.h"

namespace {

using observe::FirewallInfo;

const std::string kProgram = "c:\\program files\\brickfix\\brickfix.exe";

// The installer's rule, and rules that differ from it in one way.
FirewallRule Narrow() {
  FirewallRule r;
  r.name = "Brickfix TFTP";
  r.protocol = 17;
  r.localPorts = "69";
  r.localAddresses = "192.168.1.88/255.255.255.255";
  r.remoteAddresses = "192.168.1.0/255.255.255.0";
  r.application = kProgram;
  return r;
}

template <class Change>
FirewallRule NarrowBut(Change change) {
  FirewallRule r = Narrow();
  change(r);
  return r;
}

TEST(WinFirewallTest, TheVerdictOnTheRoutersRequest) {
  const long kPublic = 4;
  struct Case {
    const char* what;
    FirewallPolicy policy;
    FirewallInfo::Verdict verdict;
    std::string rule;
  } cases[] = {
      {"off", {kPublic, false, true, false, {}}, FirewallInfo::kLetsIn, ""},
      {"on without a rule", {kPublic, true, false, false, {}}, FirewallInfo::kNoRule, ""},
      {"inbound allowed by default", {kPublic, true, false, true, {}}, FirewallInfo::kLetsIn, ""},
      {"the installer's rule", {kPublic, true, false, false, {Narrow()}}, FirewallInfo::kLetsIn, ""},
      {"every incoming connection blocked", {kPublic, true, true, false, {Narrow()}}, FirewallInfo::kBlockAll, ""},
      {"a block rule wins",
       {kPublic, true, false, false,
        {Narrow(), NarrowBut([](FirewallRule& r) { r = {}; r.name = "brickfix.exe"; r.allow = false; r.application = kProgram; })}},
       FirewallInfo::kBlockRule, "brickfix.exe"},
      {"any program, any protocol, port ranges, keywords, ranges and prefixes let it in",
       {kPublic, true, false, false,
        {NarrowBut([](FirewallRule& r) {
          r.application = "";
          r.localPorts = "53, 60-70";
          r.localAddresses = "LocalSubnet,192.168.1.80-192.168.1.90";
          r.remoteAddresses = "fe80::/64,DefaultGateway";
          r.interfaceTypes = "Wireless,Lan";
        })}},
       FirewallInfo::kLetsIn, ""},
      {"rules that do not concern the request",
       {kPublic, true, false, false,
        {NarrowBut([](FirewallRule& r) { r.enabled = false; }), NarrowBut([](FirewallRule& r) { r.inbound = false; }),
         NarrowBut([](FirewallRule& r) { r.profiles = 2; }), NarrowBut([](FirewallRule& r) { r.protocol = 6; }),
         NarrowBut([](FirewallRule& r) { r.localPorts = "70-80,RPC"; }),
         NarrowBut([](FirewallRule& r) { r.localAddresses = "10.0.0.0/8"; }),
         NarrowBut([](FirewallRule& r) { r.remoteAddresses = "192.168.1.2"; }),
         NarrowBut([](FirewallRule& r) { r.application = "c:\\tftpd64\\tftpd64.exe"; }),
         NarrowBut([](FirewallRule& r) { r.service = "tftpd"; }),
         NarrowBut([](FirewallRule& r) { r.interfaceTypes = "Wireless"; }),
         NarrowBut([](FirewallRule& r) { r.allow = false; r.remoteAddresses = "10.0.0.0/8"; })}},
       FirewallInfo::kNoRule, ""},
  };
  for (const Case& c : cases) {
    FirewallInfo info = JudgeFirewall(c.policy, kProgram);
    EXPECT_EQ(info.verdict, c.verdict) << c.what;
    EXPECT_EQ(info.rule, c.rule) << c.what;
    EXPECT_EQ(info.profile, "public") << c.what;
  }
}

// What the monitor tells between looks, recorded as "carrier 1", "addresses
// 192.168.1.88", "neighbour 192.168.1.1".
class Recorder : public observe::ILinkSink {
 public:
  void OnCarrier(bool up) override { said.push_back(std::string("carrier ") + (up ? "1" : "0")); }
  void OnAddresses(const std::vector<std::uint32_t>& addresses) override {
    std::string line = "addresses";
    for (std::uint32_t a : addresses) line += " " + FormatIpv4(a);
    said.push_back(line);
  }
  void OnNeighbour(std::uint32_t address) override { said.push_back("neighbour " + FormatIpv4(address)); }
  std::vector<std::string> said;
};

TEST(WinLinkMonitorTest, WhatChangedBetweenLooks) {
  const std::uint32_t ours = 0xC0A80158, router = 0xC0A80101, other = 0xC0A80102;
  const LinkReading looks[] = {
      {true, {ours}, {{other, 7}}},             // the first: a neighbour from before is none
      {true, {ours}, {{other, 7}, {router, 1}}},  // the router resolved
      {false, {}, {{other, 7}, {router, 1}}},     // cable out, address gone
      {true, {ours}, {{router, 2}}},              // another device at the router's address
      {true, {ours}, {{router, 2}}},
  };
  Recorder sink;
  LinkChanges changes;
  for (const LinkReading& look : looks) changes.Take(look, sink);
  EXPECT_EQ(sink.said, (std::vector<std::string>{"carrier 1", "addresses 192.168.1.88", "neighbour 192.168.1.1",
                                                 "carrier 0", "addresses", "carrier 1", "addresses 192.168.1.88",
                                                 "neighbour 192.168.1.1"}));
}

// A run's timeline and diagnostics join the newest nine of each kind in a
// state folder made for them; other names stay, and so does a diagnostics
// file of a run that wrote nothing, which the run removes itself.
TEST(WinRunFilesTest, EachKindKeepsTheNewestTenRuns) {
  fwtest::ScopedWorkDir work;
  std::string dir = std::filesystem::absolute("state").string();
  std::filesystem::create_directory(dir);
  std::vector<std::string> others = {"timeline-x.jsonlx", "adapter-{A}.journal", "diagnostics.log"};
  for (int i = 10; i < 22; ++i) {
    for (const char* kind : {"timeline-20260101-0000%d-7.jsonl", "diagnostics-20260101-0000%d-7.log"}) {
      char name[64];
      std::snprintf(name, sizeof name, kind, i);
      std::ofstream(dir + "\\" + name) << "x";
    }
  }
  for (const std::string& name : others) std::ofstream(dir + "\\" + name) << "x";
  TimelineFile timeline;
  DiagnosticsFile diagnostics;
  ASSERT_TRUE(timeline.Open(dir));
  ASSERT_TRUE(diagnostics.Open(dir));
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  ASSERT_EQ(left.size(), 23u);
  EXPECT_EQ(left[1], "diagnostics-20260101-000013-7.log");
  EXPECT_EQ(left[10], "diagnostics-" + RunStamp() + ".log");
  EXPECT_EQ(left[12], "timeline-20260101-000013-7.jsonl");
  EXPECT_EQ(left[21], "timeline-" + RunStamp() + ".jsonl");
  for (const std::string& name : others) EXPECT_NE(std::find(left.begin(), left.end(), name), left.end()) << name;
  diagnostics.RemoveIfEmpty();
  EXPECT_FALSE(std::filesystem::exists(dir + "\\diagnostics-" + RunStamp() + ".log"));
}

}  // namespace
