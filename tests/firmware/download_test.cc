#include <gtest/gtest.h>

#include <chrono>

#include "fakes/Fakes.h"
#include "firmware/CloudQuery.h"
#include "firmware/Download.h"
#include "firmware/FirmwareTestSupport.h"
#include "firmware/RomStore.h"

using namespace fwtest;

namespace {

std::string Md5Of(const std::string& bytes) {
  return Md5Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string ImageOf(const RomInfo& info) {
  return std::string(reinterpret_cast<const char*>(info.data), static_cast<std::size_t>(info.size));
}

class DownloadRealPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pMainDlg = nullptr;
    SKIP_WITHOUT_CLOUD(cloud);
  }
  void TearDown() override { g_pMainDlg = nullptr; }

  // Queries `model` and downloads what the answer names.
  int QueryAndDownload(RomInfo& info, const std::string& model = "RX2001") {
    int code = QueryLatestRom(info, cloud.QueryUrl(model));
    return code != 0 ? 100 + code : info.Download();
  }

  ScopedWorkDir work;
  LocalCloud cloud;
};

}  // namespace

TEST(DownloadProgressTest, OneMarkPerTenChunksAndANewLineAfterSixty) {
  WizardHarness harness;
  harness.Start();
  harness.dlg->ClearLog();
  harness.dlg->Print("开始下载");
  DownloadProgress progress;
  for (int i = 0; i < 25; ++i) progress.OnChunk();
  EXPECT_EQ(harness.view.Log(), "开始下载\r\n##");

  DownloadProgress cycle;
  harness.dlg->ClearLog();
  for (int i = 0; i < 601; ++i) cycle.OnChunk();
  EXPECT_EQ(harness.view.Log(), std::string(60, '#'));
  cycle.OnChunk();  // the 602nd chunk ends the line
  EXPECT_EQ(harness.view.Log(), std::string(61, '#') + "\r\n");
  for (int i = 0; i < 10; ++i) cycle.OnChunk();
  EXPECT_EQ(harness.view.Log(), std::string(61, '#') + "\r\n#");
  g_pMainDlg = nullptr;
}

TEST(Md5HexTest, LowerCaseHex) {
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(DownloadRealPeerTest, VerifiedImageReplacesTheModelsStoredFiles) {
  WriteFile("Rom/RX2001-1.0", "old");
  WriteFile("Rom/RX2002-1.0", "other model");
  std::string image = RandomBytes(200000);
  cloud.AddRelease("RX2001", Manifest("1.2 beta"), image);
  RomInfo info;
  ASSERT_EQ(QueryAndDownload(info), 0);
  EXPECT_EQ(ImageOf(info), image);
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{"RX2001-1.2", "RX2002-1.0"}));
  EXPECT_EQ(ReadFile("Rom/RX2001-1.2"), image);
  delete[] info.data;
}

TEST_F(DownloadRealPeerTest, FailedDownloadsLeaveTheStoreAlone) {
  // More than two write pieces, so the pending file is partly written when
  // the failure shows.
  std::string image = RandomBytes(2500000);
  struct Case {
    const char* name;
    std::string extra;
    int code;
  };
  const Case cases[] = {
      {"digest in upper case", R"("md5": ")" + [&] {
         std::string upper = Md5Of(image);
         for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return upper;
       }() + "\"", 5},
      {"wrong digest", R"("md5": "00000000000000000000000000000000")", 5},
      {"body shorter than the size", R"("size": 2500001)", 5},
      {"missing image (an error page)", R"("url": "https://)" + cloud.host() + R"(/images/RX2001/none")", 5},
      {"connection dropped halfway", R"("delivery": "drop")", 4},
      {"address that is not http", R"("url": "file:///etc/hostname")", 4},
      {"negative size", R"("size": -1)", 2},
      {"absurd size", R"("size": 300000000)", 2},
  };
  WriteFile("Rom/RX2001-1.0", "old");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cloud.AddRelease("RX2001", Manifest("2.0", c.extra), image);
    RomInfo info;
    EXPECT_EQ(QueryAndDownload(info), c.code);
    EXPECT_EQ(info.data, nullptr);
    EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"});
    EXPECT_EQ(ReadFile("Rom/RX2001-1.0"), "old");
  }
}

TEST_F(DownloadRealPeerTest, RedirectsAreFollowedButNeverFromHttpsToHttp) {
  LocalCloud plain("plain");
  SKIP_WITHOUT_CLOUD(plain);
  std::string image = RandomBytes(5000);
  plain.AddRelease("RX2001", Manifest("2.0"), image);
  cloud.AddRelease("RX2001", Manifest("2.0"), image);
  const std::string https = "https://" + cloud.host() + "/images/RX2001/fw.bin";
  const std::string http = "http://" + plain.host() + "/images/RX2001/fw.bin";
  struct Case {
    const char* name;
    std::string target;
    int code;
  };
  const Case cases[] = {{"to http", http, 4}, {"to https", https, 0}, {"to a path", "/images/RX2001/fw.bin", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RomInfo info;
    ASSERT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 0);
    info.url = "https://" + cloud.host() + "/redirect?to=" + c.target;
    EXPECT_EQ(info.Download(), c.code);
    EXPECT_EQ(ListDir("Rom"), c.code == 0 ? std::vector<std::string>{"RX2001-2.0"} : std::vector<std::string>{});
    delete[] info.data;
  }
  EXPECT_TRUE(plain.Requests().empty()) << "nothing was asked of the plain address";
}

TEST_F(DownloadRealPeerTest, BytesPastTheSizeAreDropped) {
  std::string image = RandomBytes(300000);
  std::string announced = image.substr(0, 1000);
  cloud.AddRelease("RX2001", Manifest("2.0", R"("size": 1000, "md5": ")" + Md5Of(announced) + "\""), image);
  RomInfo info;
  ASSERT_EQ(QueryAndDownload(info), 0);
  EXPECT_EQ(ImageOf(info), announced);
  EXPECT_EQ(ReadFile("Rom/RX2001-2.0"), announced);
  delete[] info.data;
}

TEST_F(DownloadRealPeerTest, EmptyImageIsSavedEmpty) {
  cloud.AddRelease("RX2001", Manifest("2.0"), "");
  RomInfo info;
  ASSERT_EQ(QueryAndDownload(info), 0);
  EXPECT_EQ(info.size, 0);
  EXPECT_EQ(ReadFile("Rom/RX2001-2.0"), "");
  delete[] info.data;
}

TEST_F(DownloadRealPeerTest, ImageInManySmallPiecesArrivesWholeWithProgress) {
  WizardHarness harness;
  harness.Start();
  harness.dlg->ClearLog();
  harness.dlg->Print("开始下载");
  std::string image = RandomBytes(100 * 500);
  cloud.AddRelease("RX2001", Manifest("2.0", R"("delivery": "pieces", "pieceSize": 500)"), image);
  RomInfo info;
  ASSERT_EQ(QueryAndDownload(info), 0);
  EXPECT_EQ(ImageOf(info), image);
  auto lines = harness.view.LogLines();
  ASSERT_EQ(lines.size(), 2u) << harness.view.Log();
  EXPECT_EQ(lines[0], "开始下载");
  EXPECT_GE(lines[1].size(), 5u) << "about one mark per ten pieces";
  EXPECT_EQ(lines[1].find_first_not_of('#'), std::string::npos);
  EXPECT_EQ(harness.view.Log().substr(harness.view.Log().size() - 2), "\r\n") << "the line is ended";
  delete[] info.data;
}

TEST_F(DownloadRealPeerTest, NameFromTheCloudMustStayInsideTheStore) {
  WriteFile("Rom/RX2001-1.0", "old");
  cloud.AddRelease("RX2001", Manifest("../../escape"), "image");
  RomInfo info;
  EXPECT_EQ(QueryAndDownload(info), 6);
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"});
  EXPECT_FALSE(fs::exists("escape"));
  EXPECT_FALSE(fs::exists("../escape"));
}

TEST(DownloadSlowTest, StalledTransferFailsAfterThirtySeconds) {
  g_pMainDlg = nullptr;
  ScopedWorkDir work;
  LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", Manifest("2.0", R"("delivery": "stall")"), RandomBytes(100000));
  RomInfo info;
  ASSERT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(info.Download(), 4);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(seconds.count(), 29);
  EXPECT_LT(seconds.count(), 60);
  EXPECT_FALSE(fs::exists("Rom"));
}
