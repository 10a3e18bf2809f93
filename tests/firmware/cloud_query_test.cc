#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "firmware/CloudQuery.h"
#include "firmware/FirmwareTestSupport.h"

using namespace fwtest;

namespace {

// A record whose every field shows whether a call touched it.
RomInfo Sentinel() {
  RomInfo info;
  info.model = "old-model";
  info.version = "old-version";
  info.md5 = "old-md5";
  info.url = "old-url";
  info.level = 77;
  info.size = 88;
  return info;
}

void ExpectUntouched(const RomInfo& info) {
  EXPECT_EQ(info.model, "old-model");
  EXPECT_EQ(info.version, "old-version");
  EXPECT_EQ(info.md5, "old-md5");
  EXPECT_EQ(info.url, "old-url");
  EXPECT_EQ(info.level, 77);
  EXPECT_EQ(info.size, 88);
}

const char kFullAnswer[] =
    R"({"model": "RX2001", "version": "1.2 beta", "md5": "0123456789abcdef0123456789abcdef",
        "url": "https://cdn.example/RX2001.bin", "level": 0, "size": 4096, "extra": [1, 2]})";

}  // namespace

TEST(ParseRomInfoTest, FullAnswerFillsEveryField) {
  RomInfo info = Sentinel();
  EXPECT_EQ(ParseRomInfo(kFullAnswer, info), 0);
  EXPECT_EQ(info.model, "RX2001");
  EXPECT_EQ(info.version, "1.2");
  EXPECT_EQ(info.md5, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(info.url, "https://cdn.example/RX2001.bin");
  EXPECT_EQ(info.level, 0);
  EXPECT_EQ(info.size, 4096);
  EXPECT_EQ(info.data, nullptr);
}

TEST(ParseRomInfoTest, DecodesMembersByTheirRules) {
  struct Case {
    const char* name;
    const char* text;
    int code;
    const char* version;
    int level;
    int size;
  };
  const Case cases[] = {
      {"version cut at a tab", R"({"url":"u","version":"2.0\tx"})", 0, "2.0", 0, 0},
      {"version cut at a line feed", R"({"url":"u","version":"3.1\nrc"})", 0, "3.1", 0, 0},
      {"version cut at a leading carriage return", R"({"url":"u","version":"\r3.0"})", 0, "", 0, 0},
      {"missing level and size read as 0", R"({"url":"u","version":"1"})", 0, "1", 0, 0},
      {"null members read as empty and 0", R"({"url":"u","version":null,"level":null,"size":null})", 0,
       "", 0, 0},
      {"booleans read as text and 1/0", R"({"url":"u","version":true,"level":false,"size":true})", 0,
       "true", 0, 1},
      {"reals are truncated", R"({"url":"u","version":"1","level":0.7,"size":1234.9})", 0, "1", 0, 1234},
      {"comments are allowed", "/* head */ {\"url\":\"u\", // note\n \"version\":\"5\"}", 0, "5", 0, 0},
      {"level 1 is refused but read", R"({"url":"u","version":"9","level":1,"size":7})", 1, "9", 1, 7},
      {"negative level is refused", R"({"url":"u","version":"9","level":-1})", 1, "9", -1, 0},
      {"missing url is refused", R"({"version":"4.0","size":10})", 1, "4.0", 0, 10},
      {"empty url is refused", R"({"url":"","version":"4.0"})", 1, "4.0", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RomInfo info = Sentinel();
    EXPECT_EQ(ParseRomInfo(c.text, info), c.code);
    EXPECT_EQ(info.version, c.version);
    EXPECT_EQ(info.level, c.level);
    EXPECT_EQ(info.size, c.size);
  }
}

// Bodies that cannot be a release: code 3 and the record as it was.
TEST(ParseRomInfoTest, UnusableAnswersLeaveTheRecordUntouched) {
  std::string deep = R"({"url":"u","model":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  const std::pair<const char*, std::string> cases[] = {
      {"empty body", ""},
      {"html error page", "<html><body><h1>502 Bad Gateway</h1></body></html>"},
      {"cut short", R"({"model": "RX2001", "version": )"},
      {"top-level array", R"([{"url":"u"}])"},
      {"top-level string", R"("RX2001")"},
      {"top-level number", "42"},
      {"number as model", R"({"url":"u","model":5})"},
      {"number as version", R"({"url":"u","version":1.2})"},
      {"object as md5", R"({"url":"u","md5":{}})"},
      {"array as url", R"({"url":["u"]})"},
      {"text as level", R"({"url":"u","level":"0"})"},
      {"text as size", R"({"url":"u","size":"100"})"},
      {"size above the 32-bit range", R"({"url":"u","size":3000000000})"},
      {"size below the 32-bit range", R"({"url":"u","size":-3000000000})"},
      {"real level out of range", R"({"url":"u","level":1e40})"},
      {"nesting deeper than the reader allows", deep},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    RomInfo info = Sentinel();
    EXPECT_EQ(ParseRomInfo(text.c_str(), info), 3);
    ExpectUntouched(info);
  }
}

class CloudQueryRealPeerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pMainDlg = nullptr; }
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

  auto requests = cloud.server().Requests();
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
  untrusted.AddRelease("RX2001", Manifest("1.2"), "image");
  RomInfo info = Sentinel();
  EXPECT_EQ(QueryLatestRom(info, untrusted.QueryUrl("RX2001")), 4);
  ExpectUntouched(info);
  EXPECT_TRUE(untrusted.server().Requests().empty());
}

TEST(CloudQueryFailureRealPeerTest, CertificateForAnotherHostFails) {
  LocalCloud elsewhere("server", "127.0.0.2");  // the certificate names 127.0.0.1 only
  elsewhere.AddRelease("RX2001", Manifest("1.2"), "image");
  RomInfo info = Sentinel();
  EXPECT_EQ(QueryLatestRom(info, elsewhere.QueryUrl("RX2001")), 4);
  ExpectUntouched(info);
}

TEST(CloudQuerySlowTest, SilentServerFailsAfterThirtySeconds) {
  LocalCloud cloud;
  cloud.AddRelease("RX2001", Manifest("1.2", R"("answer": "silent")"), "image");
  RomInfo info = Sentinel();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 4);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(seconds.count(), 29);
  EXPECT_LT(seconds.count(), 60);
  ExpectUntouched(info);
}
