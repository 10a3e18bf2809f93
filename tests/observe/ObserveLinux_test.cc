// The Linux side of the observer's files: the capture read back by tshark,
// the support bundle opened by tar, and the holder of a UDP port found in
// /proc.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "observe/Pcapng.h"
#include "platform/linux/ProcessRunner.h"
#include "platform/linux/RunFiles.h"
#include "platform/linux/SupportBundle.h"
#include "tftp/UdpSocket.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

struct TempDir {
  TempDir() {
    char name[] = "/tmp/brickfix-observe-XXXXXX";
    path = mkdtemp(name) ? name : "";
  }
  ~TempDir() { fs::remove_all(path); }
  std::string path;
};

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

Lines Split(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A frame of `size` bytes: Ethernet with the given type, its bytes numbered.
std::string Frame(std::size_t size, std::uint16_t type) {
  std::string frame(size, '\0');
  for (std::size_t i = 0; i < size; ++i) frame[i] = static_cast<char>(i);
  frame[12] = static_cast<char>(type >> 8);
  frame[13] = static_cast<char>(type);
  return frame;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(ObserveLinuxTest, CaptureReadsBackWithTsharkAndKeepsTheNewestFrames) {
  PosixProcessRunner runner;
  if (runner.Find("tshark").empty()) GTEST_SKIP() << "tshark is not installed";
  TempDir dir;
  struct Case {
    std::size_t limit;
    int frames;
    Lines expected;  // time, captured length, original length, type, direction
  } cases[] = {
      {observe::PcapngRing::kDefaultLimit, 3,
       {"1700000000.000001000\t60\t60\t0x0806\t0x00000001",
        "1700000001.000001000\t61\t1514\t0x0800\t0x00000002",
        "1700000002.000001000\t62\t62\t0x0806\t0x00000001"}},
      // 60 bytes of header blocks and 108-byte packet blocks: the newest
      // nine fit in 1100 bytes.
      {1100, 20,
       {"1700000011.000001000", "1700000012.000001000", "1700000013.000001000", "1700000014.000001000", "1700000015.000001000",
        "1700000016.000001000", "1700000017.000001000", "1700000018.000001000", "1700000019.000001000"}},
  };
  for (const Case& c : cases) {
    observe::PcapngRing ring("lan0", c.limit);
    for (int i = 0; i < c.frames; ++i) {
      std::string frame = Frame(60 + static_cast<std::size_t>(i % 3), i % 2 ? 0x0800 : 0x0806);
      ring.Add(1700000000000001ull + static_cast<std::uint64_t>(i) * 1000000, i % 2 == 1, Bytes(frame),
               i == 1 ? 1514 : frame.size());
    }
    EXPECT_LE(ring.FileSize(), c.limit);
    std::string path = dir.path + "/capture.pcapng";
    Write(path, ring.File());
    Lines fields = {"-e", "frame.time_epoch"};
    if (c.frames == 3) {
      for (const char* field : {"frame.cap_len", "frame.len", "eth.type", "frame.packet_flags_direction"}) {
        fields.insert(fields.end(), {"-e", field});
      }
    }
    Lines argv = {"tshark", "-r", path, "-T", "fields"};
    argv.insert(argv.end(), fields.begin(), fields.end());
    ProcessResult read = runner.Run(argv);
    ASSERT_TRUE(read.started);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(Split(read.output), c.expected) << "limit " << c.limit;
    ProcessResult named = runner.Run({"tshark", "-r", path, "-T", "fields", "-e", "frame.interface_name", "-c", "1"});
    EXPECT_EQ(named.output, "lan0\n");
  }
}

TEST(ObserveLinuxTest, SupportBundleOfTheLatestRunOpensWithTar) {
  PosixProcessRunner runner;
  TempDir dir;
  std::string state = dir.path + "/state/brickfix";
  fs::create_directories(state);
  const char* before = std::getenv("XDG_STATE_HOME");
  std::string saved = before ? before : "";
  setenv("XDG_STATE_HOME", (dir.path + "/state").c_str(), 1);
  struct Case {
    std::string adapter;  // as the latest timeline names it
    Lines contents;       // the archive's files below its folder
  } cases[] = {
      {"eth1", {"system.txt", "timeline-20260102-090000-9.jsonl", "diagnostics-20260102-090000-9.log",
                "capture-20260102-090000-9.pcapng", "adapter-eth1.journal"}},
      {"../../etc/passwd", {"system.txt", "timeline-20260102-090000-9.jsonl", "diagnostics-20260102-090000-9.log",
                            "capture-20260102-090000-9.pcapng"}},
  };
  // An older run, and the journals of two adapters.
  Write(state + "/timeline-20260101-120000-7.jsonl", "{\"t\":0.000,\"event\":\"start\"}\n");
  Write(state + "/diagnostics-20260101-120000-7.log", "older\n");
  Write(state + "/diagnostics-20260102-090000-9.log", "curl: could not connect\n");
  Write(state + "/capture-20260102-090000-9.pcapng", "pcapng");
  Write(state + "/adapter-eth1.journal", "eth1's own settings\n");
  Write(state + "/adapter-eth0.journal", "eth0's\n");
  for (const Case& c : cases) {
    std::string timeline = "{\"t\":0.000,\"event\":\"start\"}\n{\"t\":1.000,\"event\":\"wait-begin\",\"adapter\":\"" +
                           c.adapter + "\",\"address\":\"192.168.1.88\",\"prefix\":24}\n";
    Write(state + "/timeline-20260102-090000-9.jsonl", timeline);
    std::string bundle = dir.path + "/support.tar.gz";
    ASSERT_EQ(WriteSupportBundleFile(bundle, "brickfix 9.9\n"), 0);
    ProcessResult listed = runner.Run({"tar", "-tzf", bundle});
    ASSERT_EQ(listed.status, 0);
    Lines expected;
    for (const std::string& name : c.contents) expected.push_back("brickfix-support-20260102-090000-9/" + name);
    EXPECT_EQ(Split(listed.output), expected) << c.adapter;
    ProcessResult inside = runner.Run({"tar", "-xzOf", bundle, "brickfix-support-20260102-090000-9/" +
                                                                   c.contents[1]});
    EXPECT_EQ(inside.output, timeline);
    ProcessResult about = runner.Run({"tar", "-xzOf", bundle, "brickfix-support-20260102-090000-9/system.txt"});
    EXPECT_EQ(about.output.substr(0, 13), "brickfix 9.9\n");
    EXPECT_NE(about.output.find("kernel: Linux"), std::string::npos);
  }
  fs::remove_all(state);
  EXPECT_EQ(WriteSupportBundleFile(dir.path + "/none.tar.gz", "brickfix 9.9\n"), 1) << "no run to bundle";
  EXPECT_FALSE(fs::exists(dir.path + "/none.tar.gz")) << "nothing left behind";
  EXPECT_FALSE(fs::exists(dir.path + "/none.tar.gz.tmp"));
  if (before) setenv("XDG_STATE_HOME", saved.c_str(), 1);
  else unsetenv("XDG_STATE_HOME");
}

TEST(ObserveLinuxTest, HolderOfAUdpPortIsFoundInProc) {
  tftp::UdpSocket socket = tftp::UdpSocket::Open();
  ASSERT_TRUE(socket.Bind(0));
  std::uint16_t port = socket.LocalPort();
  std::optional<observe::PortHolder> holder = FindUdpPortHolder(port);
  ASSERT_TRUE(holder);
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(holder->pid, getpid());
  EXPECT_EQ(holder->name, name);
  EXPECT_FALSE(holder->owner.empty());
  socket = tftp::UdpSocket();
  EXPECT_FALSE(FindUdpPortHolder(port)) << "nobody holds it any more";
}

}  // namespace
