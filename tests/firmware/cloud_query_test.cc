#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "firmware/CloudQuery.h"
#include "firmware/FirmwareTestSupport.h"
#include "firmware/RomInfoSentinel.h"

using namespace fwtest;

// The query against the local cloud; the decoding rules are tested in
// parse_rom_info_test.cc.

class CloudQueryRealPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pMainDlg = nullptr;
    SKIP_WITHOUT_CLOUD(cloud);
  }
  LocalCloud cloud;
};

TEST_F(CloudQueryRealPeerTest, AcceptedReleaseDescribesTheServedImage) {
  std::string image = RandomBytes(3000);
  cloud.AddRelease("RX2001", Manifest("1.2 beta"), image);
  RomInfo info;
  EXPECT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 0);
  EXPECT_EQ(info.model, "RX2001");
  EXPECT_EQ(info.version, "1.2");
  EXPECT_EQ(info.size, 3000);
  EXPECT_EQ(info.md5.size(), 32u);
  EXPECT_EQ(info.url, "https://" + cloud.host() + "/images/RX2001/fw.bin");

  auto requests = cloud.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/api/latest_rom?model=RX2001");
  EXPECT_EQ(requests[0].userAgent, "RX WinHTTP Client/1.0");
  EXPECT_FALSE(requests[0].hasAccept);
}

TEST_F(CloudQueryRealPeerTest, AnswerFaultsGiveTheirCodes) {
  struct Case {
    const char* name;
    std::string manifest;
    int code;
  };
  const Case cases[] = {
      {"answer in many small pieces", Manifest("2.0", R"("answer": "pieces")"), 0},
      {"level 1", Manifest("2.0", R"("level": 1)"), 1},
      {"no url", Manifest("2.0", R"("omit": ["url"])"), 1},
      {"html error page", Manifest("2.0", R"("answer": "html")"), 3},
      {"invalid json", Manifest("2.0", R"("answer": "invalid-json")"), 3},
      {"empty body", Manifest("2.0", R"("answer": "empty")"), 3},
      {"answer over 1 MiB", Manifest("2.0", R"("answer": "oversize")"), 3},
      {"connection dropped mid-answer", Manifest("2.0", R"("answer": "drop")"), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cloud.AddRelease("RX2003", c.manifest, "image");
    RomInfo info = Sentinel();
    EXPECT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2003")), c.code);
    if (c.code <= 1) EXPECT_EQ(info.version, "2.0");
    else ExpectUntouched(info);
  }
}

TEST_F(CloudQueryRealPeerTest, UnknownModelIsARefusedRelease) {
  RomInfo info;
  EXPECT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2009")), 1);
  EXPECT_EQ(info.version, "");
}

TEST(CloudQueryFailureRealPeerTest, UnreachableHostFails) {
  RomInfo info = Sentinel();
  std::string url = "https://127.0.0.1:" + std::to_string(ClosedPort()) + "/api/latest_rom?model=RX2001";
  EXPECT_EQ(QueryLatestRom(info, url), 4);
  ExpectUntouched(info);
}

TEST(CloudQueryFailureRealPeerTest, UntrustedCertificateFails) {
  LocalCloud untrusted("untrusted");
  SKIP_WITHOUT_CLOUD(untrusted);
  untrusted.AddRelease("RX2001", Manifest("1.2"), "image");
  RomInfo info = Sentinel();
  EXPECT_EQ(QueryLatestRom(info, untrusted.QueryUrl("RX2001")), 4);
  ExpectUntouched(info);
  EXPECT_TRUE(untrusted.Requests().empty());
}

TEST(CloudQueryFailureRealPeerTest, CertificateForAnotherHostFails) {
  LocalCloud elsewhere("server", "127.0.0.2");  // the certificate names 127.0.0.1 only
  SKIP_WITHOUT_CLOUD(elsewhere);
  elsewhere.AddRelease("RX2001", Manifest("1.2"), "image");
  RomInfo info = Sentinel();
  EXPECT_EQ(QueryLatestRom(info, elsewhere.QueryUrl("RX2001")), 4);
  ExpectUntouched(info);
}

TEST(CloudQuerySlowTest, SilentServerFailsAfterThirtySeconds) {
  LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", Manifest("1.2", R"("answer": "silent")"), "image");
  RomInfo info = Sentinel();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 4);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(seconds.count(), 29);
  EXPECT_LT(seconds.count(), 60);
  ExpectUntouched(info);
}
