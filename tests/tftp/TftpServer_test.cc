// The listener and both transfers on 127.0.0.1, with short timeouts, against
// a real dialog wired to fakes.
#include <gtest/gtest.h>

#include <atomic>

#include "tftp/TftpTestSupport.h"

using namespace tftp_test;

namespace {

struct Fetched {
  std::string bytes;
  std::vector<std::size_t> sizes;  // payload sizes of the DATA packets, end marker included
  std::uint16_t transferPort = 0;
  std::optional<Datagram> last;  // the packet that ended the fetch
};

// Fetches `name` like a well-behaved router: every DATA acknowledged, done at
// the empty end marker.
Fetched Fetch(Peer& peer, std::uint16_t listener, const std::string& name) {
  peer.Send(listener, Request(tftp::kReadRequest, name));
  Fetched f;
  while ((f.last = peer.Receive()) && f.last->opcode() == tftp::kData) {
    f.transferPort = f.last->fromPort;
    f.sizes.push_back(f.last->payload().size());
    if (f.last->payload().empty()) break;
    f.bytes += f.last->payload();
    peer.Send(f.transferPort, Ack(f.last->block()));
  }
  return f;
}

std::string AsString(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace

TEST(TftpServerTest, ImageWithoutConfigRequestMovesWizardToStep8) {
  Service service;
  service.Serve(Pattern(1000));
  std::uint16_t listener = service.Start();
  ASSERT_NE(listener, 0);
  Peer router;
  Fetched f = Fetch(router, listener, "recovery.bin");
  EXPECT_EQ(f.sizes, (std::vector<std::size_t>{512, 488, 0}));
  EXPECT_EQ(f.bytes, AsString(service.image));
  EXPECT_EQ(f.transferPort, service.firstPort);
  ASSERT_TRUE(service.Idle());
  auto lines = service.view.LogLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "传输文件中：");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "烧录Flash中，大约需要两分钟，务必保持Terno不断电！");
  EXPECT_EQ(lines.back(), "固件恢复成功！");
  EXPECT_EQ(service.dlg->m_nStep, 8);
  EXPECT_EQ(service.Commands(),
            (std::vector<NetCommand::Kind>{NetCommand::kStatic, NetCommand::kArpFlush,
                                           NetCommand::kDhcp, NetCommand::kArpFlush}));
}

TEST(TftpServerTest, ConfigRequestLeavesTheResultToTheReport) {
  Service service;
  service.Serve(Pattern(1024));
  std::uint16_t listener = service.Start();
  const std::uint32_t at = INADDR_LOOPBACK + 2;
  Peer router(at);
  Fetched cfg = Fetch(router, listener, "recovery-cfg.bin");
  EXPECT_EQ(cfg.bytes, AsString(service.config));
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.dlg->m_bCfgNotRequested, 0);
  EXPECT_FALSE(service.ops->Fetchers().Contains(htonl(at))) << "the record is no image";
  Fetched image = Fetch(router, listener, "RX2001-1.0.7.bin");  // a name led by the model code
  EXPECT_EQ(image.sizes, (std::vector<std::size_t>{512, 512, 0}));
  EXPECT_EQ(image.bytes, AsString(service.image));
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.view.LogLines(),
            (std::vector<std::string>{"", "传输文件中：", "",
                                      "固件烧录中，请耐心等待Terno回复烧录结果！"}));
  EXPECT_EQ(service.dlg->m_nStep, 5);
  EXPECT_TRUE(service.ops->Fetchers().Contains(htonl(at))) << "its report will be believed";
}

// The router acknowledges the end marker a while after the completion was
// told: its acknowledgement finds the port open and ends the transfer at once.
TEST(TftpServerTest, EndMarkerAckMeetsAnOpenPort) {
  Service service(1s);  // the grace period
  service.dlg->m_bCfgNotRequested = 0;
  service.Serve(Pattern(1000));
  std::uint16_t listener = service.Start();
  Peer router;
  router.HearIcmpErrors();
  Fetched f = Fetch(router, listener, "recovery.bin");
  ASSERT_TRUE(f.last && f.last->opcode() == tftp::kData && f.last->payload().empty());
  const std::string done = "固件烧录中，请耐心等待Terno回复烧录结果！";
  for (int i = 0; i < 500 && !service.HasLine(done); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(service.HasLine(done)) << "the completion waits for nothing";
  std::this_thread::sleep_for(50ms);
  router.Send(f.transferPort, Ack(f.last->block()));
  auto acked = std::chrono::steady_clock::now();
  ASSERT_TRUE(service.Idle());
  EXPECT_LT(std::chrono::steady_clock::now() - acked, 500ms);
  EXPECT_FALSE(router.MetClosedPort());
}

TEST(TftpServerTest, EmptyImageSendsNoPacket) {
  Service service;
  service.dlg->m_bCfgNotRequested = 0;
  std::uint16_t listener = service.Start();
  Peer router;
  router.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
  EXPECT_FALSE(router.Receive(300ms));
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(
      service.view.LogLines(),
      (std::vector<std::string>{"传输文件中：", "", "固件烧录中，请耐心等待Terno回复烧录结果！"}));
}

TEST(TftpServerTest, RepeatedAckResendsAndUnknownOpcodeCountsAsAck) {
  Service service;
  service.dlg->m_bCfgNotRequested = 0;
  service.Serve(Pattern(1500));
  std::uint16_t listener = service.Start();
  Peer router;
  router.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
  auto d1 = router.Receive();
  ASSERT_TRUE(d1 && d1->block() == 1);
  router.Send(d1->fromPort, Ack(0));  // the previous acknowledgement again
  auto again = router.Receive();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->bytes, d1->bytes);
  router.Send(d1->fromPort, Ack(1));
  auto d2 = router.Receive();
  ASSERT_TRUE(d2 && d2->block() == 2);
  router.Send(d1->fromPort, U16(9) + U16(1234));  // unknown opcode
  auto d3 = router.Receive();
  ASSERT_TRUE(d3 && d3->block() == 3);
  EXPECT_EQ(d3->payload().size(), 476u);
  router.Send(d1->fromPort, Ack(3));
  auto marker = router.Receive();
  ASSERT_TRUE(marker);
  EXPECT_EQ(marker->bytes, Data(4, ""));
}

TEST(TftpServerTest, ErrorsInTheBlockLoopEndTheTransferOnly) {
  struct Case {
    std::string answer;
    const char* error;
  } cases[] = {
      {Error(0, "disk full"), "Client error!"},
      {Request(tftp::kReadRequest, "recovery.bin"), "Unknow error!"},
      {Ack(7), "Ack file fail?"},
      {"", "Recv ack fail!"},
  };
  Service service;
  service.Serve(Pattern(2000));
  std::uint16_t listener = service.Start();
  for (const Case& c : cases) {
    Peer router;
    router.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
    auto d1 = router.Receive();
    ASSERT_TRUE(d1);
    router.Send(d1->fromPort, c.answer);
    auto reply = router.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, Error(0, c.error));
    ASSERT_TRUE(service.Idle());
  }
  auto lines = service.view.LogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "固件传送错误，请重试！"), 4);
  EXPECT_EQ(service.dlg->m_nStep, 5);
}

// The router falls silent after DATA 1 while a stranger keeps sending to the
// transfer's port: the stranger is told "Unknown transfer ID" each time, and
// the series of waits (1+2+4+8+16+32 times the first) is neither cut short
// nor stretched.
TEST(TftpServerTest, SilenceEndsAfterTheSeriesOfWaitsDespiteAStranger) {
  constexpr auto kFirst = 20ms;
  Service service(kFirst);
  service.Serve(Pattern(600));
  std::uint16_t listener = service.Start();
  Peer router, stranger;
  router.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
  auto d1 = router.Receive();
  ASSERT_TRUE(d1);
  auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::atomic<int> rejected{0};
  std::thread flood([&] {
    while (!done) {
      stranger.Send(d1->fromPort, Ack(1));
      auto reply = stranger.Receive(50ms);
      if (reply && reply->bytes == Error(5, "Unknown transfer ID")) ++rejected;
    }
  });
  auto reply = router.Receive(5000ms);
  auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  flood.join();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->bytes, Error(0, "Recv ack timeout!"));
  // The server's first wait began as it sent DATA 1, a moment before `start`.
  EXPECT_GE(elapsed, 63 * kFirst - 5ms);
  EXPECT_LT(elapsed, 63 * kFirst + 800ms);
  EXPECT_GT(rejected, 5);
  ASSERT_TRUE(service.Idle());
  EXPECT_TRUE(service.HasLine("固件传送错误，请重试！"));
  // The observer hears of the request and of the transfer that gave up.
  std::string router127 = "127.0.0.1:" + std::to_string(router.port());
  EXPECT_EQ(service.observer.Calls(),
            (std::vector<std::string>{"read " + router127 + " recovery.bin",
                                      "stalled " + router127 + " recovery.bin"}));
}

TEST(TftpServerTest, AnotherModelsNameEndsTheProgram) {
  struct Case {
    std::string name;
    std::string shown;
  } cases[] = {
      {"RX2003-2.0.1.bin", "RX2003"},
      {"", ""},
      {"RX\r\n", "RX\xEF\xBF\xBD\xEF\xBF\xBD"},  // control bytes are not shown as they are
  };
  for (const Case& c : cases) {
    Service service;
    service.Serve(Pattern(100));
    std::uint16_t listener = service.Start();
    Peer router;
    router.Send(listener, Request(tftp::kReadRequest, c.name));
    EXPECT_FALSE(router.Receive(300ms)) << "nothing goes to the router";
    ASSERT_TRUE(service.Idle());
    EXPECT_EQ(
        service.view.Messages(),
        (std::vector<std::string>{"实际机型为“" + c.shown + "”，与选择不符，请在退出后重试！"}));
    EXPECT_EQ(service.Exits(), (std::vector<int>{0}));
    EXPECT_EQ(service.Commands(), (std::vector<NetCommand::Kind>{NetCommand::kDhcp}));
    EXPECT_TRUE(service.dlg->m_pTftpThread.load()->m_bSuspended);
  }
}

TEST(TftpServerTest, TransfersTakeTheNextFreePortAndAtMostEightRunAtOnce) {
  Service service;
  service.Serve(Pattern(700));
  std::uint16_t listener = service.Start();
  {
    // Requests at once: transfers on consecutive ports, eight of them; the
    // ninth request is told the server is busy, from the listener's port,
    // and gets no thread.
    std::vector<Peer> peers(kMaxTransfers + 1);
    std::vector<Datagram> first;
    for (int i = 0; i < kMaxTransfers; ++i) {
      peers[i].Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
      auto data = peers[i].Receive();
      ASSERT_TRUE(data && data->opcode() == tftp::kData);
      first.push_back(*data);
    }
    EXPECT_EQ(first[0].fromPort, service.firstPort);
    EXPECT_EQ(first[1].fromPort, service.firstPort + 1);
    Peer& late = peers.back();
    late.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
    auto busy = late.Receive();
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->opcode(), tftp::kError);
    EXPECT_EQ(busy->block(), 0) << "error code 0";
    EXPECT_EQ(busy->text(), "Server busy");
    EXPECT_EQ(busy->fromPort, listener);
    EXPECT_EQ(service.ops->TransfersStarted(), kMaxTransfers);
    for (int i = 0; i < kMaxTransfers; ++i) peers[i].Send(first[i].fromPort, Error(0, "stop"));
    ASSERT_TRUE(service.Idle());
  }
  tftp::UdpSocket busy = tftp::UdpSocket::Open();
  ASSERT_TRUE(busy.Bind(service.firstPort));
  Peer router;
  Fetched f = Fetch(router, listener, "recovery.bin");
  EXPECT_EQ(f.transferPort, service.firstPort + 1);
  EXPECT_EQ(f.bytes, AsString(service.image));
}

TEST(TftpServerTest, ListenerIgnoresAllButReadAndWriteRequestsFromTheRouterSubnet) {
  Service service;
  service.ops->SetRouterSubnet(INADDR_LOOPBACK, 32);
  std::uint16_t listener = service.Start();
  // A host outside the router's subnet starts nothing, not even the end of
  // the run that another model's name brings.
  Peer stranger(INADDR_LOOPBACK + 1);
  stranger.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
  stranger.Send(listener, Request(tftp::kReadRequest, "RX9999.bin"));
  stranger.Send(listener, Request(tftp::kWriteRequest, "recovery-result"));
  EXPECT_FALSE(stranger.Receive(300ms));
  // The observer hears of each ignored request, and of nothing else below.
  std::string ignored = "ignored 127.0.0.2:" + std::to_string(stranger.port());
  EXPECT_EQ(service.observer.Calls(), (std::vector<std::string>(3, ignored)));

  Peer router;
  std::string overLong = Request(tftp::kReadRequest, "recovery.bin");
  overLong.resize(515, 'x');
  for (const std::string& datagram :
       {Data(1, "x"), Ack(1), Error(0, "x"), U16(6) + U16(0), std::string("\1"), overLong}) {
    router.Send(listener, datagram);
  }
  EXPECT_FALSE(router.Receive(300ms));
  EXPECT_EQ(service.ops->TransfersStarted(), 0);
  EXPECT_TRUE(service.view.Messages().empty());
  // Only the over-long request is the router asking: the diagnosis hears of it.
  EXPECT_EQ(service.observer.Calls().size(), 4u);
  EXPECT_EQ(service.observer.Calls().back(), "unusable 127.0.0.1:" + std::to_string(router.port()));

  // Once the wizard has suspended it, the listener serves nothing more.
  service.dlg->m_pTftpThread.load()->m_bSuspended = true;
  router.Send(listener, Request(tftp::kReadRequest, "recovery.bin"));
  EXPECT_FALSE(router.Receive(300ms));
  EXPECT_EQ(service.ops->TransfersStarted(), 0);
}

TEST(TftpServerTest, TakenListenerPortEndsTheProgram) {
  tftp::UdpSocket other = tftp::UdpSocket::Open();
  ASSERT_TRUE(other.Bind(0));
  Service service(200ms, other.LocalPort());
  // The observer says who holds the port before the box.
  std::vector<std::string> heardBeforeBox;
  service.view.onMessageBox = [&](const std::string&) { heardBeforeBox = service.observer.Calls(); };
  EXPECT_EQ(service.Start(), 0);
  service.platform.JoinAll();
  EXPECT_EQ(heardBeforeBox,
            (std::vector<std::string>{"port-taken " + std::to_string(other.LocalPort())}));
  EXPECT_EQ(service.view.Messages(),
            (std::vector<std::string>{"程序即将退出，请关闭其它TFTP工具！"}));
  EXPECT_EQ(service.platform.exits, (std::vector<int>{0}));
  EXPECT_EQ(service.Commands(), (std::vector<NetCommand::Kind>{NetCommand::kDhcp}));
}

namespace {

// Uploads `report` in blocks and returns what the server answered to each
// packet, ending with the packet that followed the router's silence.
std::vector<Datagram> Upload(Peer& router, std::uint16_t listener, const std::string& report,
                             const std::string& name = "recovery-result") {
  std::vector<Datagram> answers;
  router.Send(listener, Request(tftp::kWriteRequest, name));
  auto reply = router.Receive();
  if (!reply) return answers;
  answers.push_back(*reply);
  if (reply->opcode() != tftp::kWriteReply) return answers;
  std::uint16_t block = 1;
  for (std::size_t at = 0;; at += 512, ++block) {
    std::string chunk = report.substr(std::min(at, report.size()), 512);
    router.Send(reply->fromPort, Data(block, chunk));
    auto answer = router.Receive();
    if (!answer) return answers;
    answers.push_back(*answer);
    if (answer->opcode() != tftp::kAck || chunk.size() < 512) break;
  }
  if (answers.back().opcode() != tftp::kAck) return answers;
  if (auto last = router.Receive(5000ms)) answers.push_back(*last);
  return answers;
}

}  // namespace

TEST(TftpServerTest, FinishedUploadRunsTheResultStep) {
  struct Case {
    std::string report;
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    bool exits;
  } cases[] = {
      {"RX2001:1.0:0", {"固件烧写成功！"}, {}, false},
      {"RX2001:1.0:4",
       {"固件烧写失败！需要重试。", "请使用网线连接电脑的以太网口和Terno的一个黄色网口。",
        "请使用尖锐物按住RST按钮不松开再将Terno电源插上..."},
       {},
       false},
      {"RX2001:1.0:1", {"结果上传中："}, {"固件不完整。请在退出后重试!"}, true},
      {"no colon", {"结果上传中："}, {"无法解析的回复！"}, true},
      {std::string(512, 'x'), {"结果上传中："}, {"无法解析的回复！"}, true},  // DATA 2 empty
  };
  for (const Case& c : cases) {
    Service service(5ms);
    std::uint16_t listener = service.Start();
    Peer router;
    auto answers = Upload(router, listener, c.report);
    std::size_t blocks = c.report.size() / 512 + 1;
    ASSERT_EQ(answers.size(), blocks + 2) << c.report;
    EXPECT_EQ(answers[0].bytes, U16(6) + U16(0));
    for (std::size_t i = 1; i <= blocks; ++i)
      EXPECT_EQ(answers[i].bytes, Ack(static_cast<std::uint16_t>(i)));
    EXPECT_EQ(answers.back().bytes, Error(0, "Recv ack timeout!"));
    ASSERT_TRUE(service.Idle());
    EXPECT_EQ(service.view.LogLines(), c.lines) << c.report;
    EXPECT_EQ(service.view.Messages(), c.messages) << c.report;
    EXPECT_EQ(service.Exits(), c.exits ? std::vector<int>{0} : std::vector<int>{});
    EXPECT_EQ(service.Commands().size(), c.exits ? 1u : 0u);
  }
}

TEST(TftpServerTest, FailedUploadLeavesTheWizardAlone) {
  struct Case {
    std::string name;
    std::string datagram;  // sent instead of DATA 1
    std::string error;
  } cases[] = {
      {"recovery-log", "", "Can not find file!"},
      {"recovery-result", Ack(1), "Client error!"},
      {"recovery-result", Data(2, "x"), "Ack error!"},
      {"recovery-result", std::string("\0\3", 2), "Write file error!"},
      {"recovery-result", Request(tftp::kWriteRequest, "recovery-result"), "Unknow error!"},
  };
  for (const Case& c : cases) {
    Service service(5ms);
    std::uint16_t listener = service.Start();
    Peer router;
    router.Send(listener, Request(tftp::kWriteRequest, c.name));
    auto reply = router.Receive();
    ASSERT_TRUE(reply);
    if (reply->opcode() == tftp::kWriteReply) {
      router.Send(reply->fromPort, c.datagram);
      reply = router.Receive();
      ASSERT_TRUE(reply);
    }
    EXPECT_EQ(reply->bytes, Error(0, c.error)) << c.error;
    ASSERT_TRUE(service.Idle());
    EXPECT_EQ(service.view.LogLines(), (std::vector<std::string>{"结果上传中："}));
    EXPECT_EQ(service.dlg->m_nStep, 5);
    EXPECT_EQ(service.result, std::vector<std::uint8_t>(1024, 0)) << "nothing stored";
  }
}

// A host of the router's subnet that fetched no image in this run cannot
// report a flash: "fake:0" would otherwise read as success.
TEST(TftpServerTest, ReportFromAHostThatFetchedNoImageIsNotBelieved) {
  Service service(5ms);
  std::uint16_t listener = service.Start();
  Peer stranger(INADDR_LOOPBACK + 50);
  EXPECT_EQ(Upload(stranger, listener, "fake:0").front().bytes, Error(2, "Access violation"));
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.view.LogLines(),
            (std::vector<std::string>{"已忽略来自127.0.0.51的结果报告：该地址没有从本机获取固件。"}));
  EXPECT_EQ(service.dlg->m_nStep, 5);
  EXPECT_EQ(service.result, std::vector<std::uint8_t>(1024, 0));
}

TEST(TftpServerTest, OverlongUploadKeepsTheFirst1024Bytes) {
  Service service(5ms);
  std::uint16_t listener = service.Start();
  Peer router;
  auto answers = Upload(router, listener, std::string(1025, 'r'));
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers.back().bytes, Error(0, "Write file error!"));
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.result, std::vector<std::uint8_t>(1024, 'r'));
  EXPECT_EQ(service.dlg->m_nStep, 5);
}

// A retry after code 4 uploads a shorter report; it is read alone.
TEST(TftpServerTest, ShorterSecondReportIsNotReadWithTheOldTail) {
  Service service(5ms);
  std::uint16_t listener = service.Start();
  Peer router;
  Upload(router, listener, "RX2001:1.0.7-beta:4 flash verify failed");
  ASSERT_TRUE(service.Idle());
  EXPECT_TRUE(service.HasLine("固件烧写失败！需要重试。"));
  Upload(router, listener, "X:0");
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.view.LogLines(), (std::vector<std::string>{"固件烧写成功！"}));
}

TEST(TftpServerSlowTest, ImageOverBlockLimitIsDeliveredWhole) {
  Service service;
  service.dlg->m_bCfgNotRequested = 0;
  service.Serve(Pattern(65536 * 512 + 1000));
  std::uint16_t listener = service.Start();
  Peer router;
  Fetched f = Fetch(router, listener, "recovery.bin");
  EXPECT_EQ(f.sizes.size(), 65539u);
  EXPECT_TRUE(f.bytes == AsString(service.image));
  ASSERT_TRUE(service.Idle());
  EXPECT_FALSE(service.HasLine("固件传送错误，请重试！"));
}
