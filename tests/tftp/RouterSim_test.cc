// The router simulator against the real service: lossy delivery stays exact,
// and each misbehaviour meets the server's answer.
#include "tools/routersim/RouterSim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "tftp/TftpTestSupport.h"

using namespace tftp_test;

namespace {

// Runs the simulator and returns its exit status; its report is kept for
// failure messages.
int RunSim(const routersim::Options& options, std::string& transcript) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  int status = routersim::Run(options, out);
  std::fclose(out);
  transcript.assign(text, size);
  std::free(text);
  return status;
}

routersim::Options SimFor(std::uint16_t port) {
  routersim::Options options;
  options.server = "127.0.0.1";
  options.port = port;
  options.retransmitMs = 30;
  options.retries = 30;
  options.errorWait = 10;
  return options;
}

}  // namespace

TEST(TftpRouterSimTest, LossDuplicationAndDelayStillDeliverIdenticalBytes) {
  Service service(20ms);
  service.Serve(Pattern(100 * 1024 + 77));
  std::uint16_t listener = service.Start();
  std::string saved = testing::TempDir() + "routersim-" + std::to_string(getpid()) + ".bin";
  routersim::Options options = SimFor(listener);
  options.fetchConfig = true;
  options.expectSize = service.image.size();
  options.saveTo = saved;
  options.drop = 15;
  options.duplicate = 15;
  options.repeatAck = 10;
  options.delayShare = 5;
  options.delayMs = 3;
  options.report = "RX2001:1.0.7:0";
  options.expectError = "Recv ack timeout!";  // the normal end of an upload
  std::string transcript;
  EXPECT_EQ(RunSim(options, transcript), 0) << transcript;
  std::ifstream file(saved, std::ios::binary);
  std::vector<std::uint8_t> fetched(std::istreambuf_iterator<char>(file), {});
  EXPECT_TRUE(fetched == service.image);
  ASSERT_TRUE(service.Idle());
  EXPECT_EQ(service.view.LogLines(), (std::vector<std::string>{"固件烧写成功！"}));
  std::remove(saved.c_str());
}

TEST(TftpRouterSimTest, MisbehavingRouterMeetsTheServersAnswer) {
  struct Case {
    const char* what;
    void (*set)(routersim::Options&);
    const char* logLine;  // expected in the wizard's log
  } cases[] = {
      {"error at block 2",
       [](routersim::Options& o) {
         o.errorAt = 2;
         o.expectError = "Client error!";
       },
       "固件传送错误，请重试！"},
      {"silent after block 1",
       [](routersim::Options& o) {
         o.silentAfter = 1;
         o.expectError = "Recv ack timeout!";
       },
       "固件传送错误，请重试！"},
      {"stranger at block 2", [](routersim::Options& o) { o.strangerAt = 2; },
       "烧录Flash中，大约需要两分钟，务必保持Terno不断电！"},
      {"upload under another name",
       [](routersim::Options& o) {
         o.image.clear();
         o.report = "A:B:0";
         o.reportName = "recovery-log";
         o.expectError = "Can not find file!";
       },
       "结果上传中："},
  };
  for (const Case& c : cases) {
    Service service(5ms);
    service.Serve(Pattern(3000));
    std::uint16_t listener = service.Start();
    routersim::Options options = SimFor(listener);
    c.set(options);
    std::string transcript;
    EXPECT_EQ(RunSim(options, transcript), 0) << c.what << "\n" << transcript;
    ASSERT_TRUE(service.Idle());
    EXPECT_TRUE(service.HasLine(c.logLine)) << c.what;
  }
}

TEST(TftpRouterSimTest, WrongImageOrWrongExpectationFailsTheSimulator) {
  Service service(5ms);
  service.Serve(Pattern(2000));
  std::uint16_t listener = service.Start();
  routersim::Options options = SimFor(listener);
  options.expectSize = 1999;
  std::string transcript;
  EXPECT_EQ(RunSim(options, transcript), 1) << transcript;
  EXPECT_NE(transcript.find("size 2000 expected 1999: WRONG"), std::string::npos) << transcript;
  ASSERT_TRUE(service.Idle());

  // Another model's image: the server answers nothing and ends the program.
  options = SimFor(listener);
  options.image = "RX2004.bin";
  options.retries = 3;
  options.expectSilence = true;
  EXPECT_EQ(RunSim(options, transcript), 0) << transcript;
  ASSERT_TRUE(service.Idle());
  EXPECT_FALSE(service.Exits().empty());
}
