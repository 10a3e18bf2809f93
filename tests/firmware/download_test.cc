#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

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

enum class BrokenStore { kReadOnly, kFull };

// In a private mount namespace of the calling thread, makes the store "Rom",
// holding RX2001-1.0 ("old"), a read-only folder or a tiny file system that
// is full at once. False when the system does not allow it (needs root).
bool BreakStore(BrokenStore kind) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  fs::create_directories("Rom");
  if (kind == BrokenStore::kFull) {
    if (mount("brickfix-full", "Rom", "tmpfs", 0, "size=16k") != 0) return false;
    WriteFile("Rom/RX2001-1.0", "old");
    return true;
  }
  WriteFile("Rom/RX2001-1.0", "old");
  return mount("Rom", "Rom", nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, "Rom", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Runs `body` on a thread of its own that sees the broken store; the mount
// namespace ends with the thread. Meanwhile the calling (user-interface)
// thread carries out the console output. False when the store could not be
// broken.
bool WithBrokenStore(BrokenStore kind, UiBridge& ui, const std::function<void()>& body) {
  std::atomic<bool> done{false};
  bool broken = false;
  std::thread worker([&] {
    broken = BreakStore(kind);
    if (broken) body();
    done = true;
  });
  while (!done) {
    ui.Drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
  ui.Drain();
  return broken;
}

class DownloadRealPeerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pMainDlg = nullptr; }
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

TEST_F(DownloadRealPeerTest, VerifiedImageThatCannotBeStoredIsServedFromMemory) {
  WizardHarness harness;
  harness.Start();
  // Larger than one write piece, so the first write already fails while the
  // body still arrives.
  std::string image = RandomBytes(2500000);
  cloud.AddRelease("RX2001", Manifest("2.0"), image);
  for (BrokenStore kind : {BrokenStore::kReadOnly, BrokenStore::kFull}) {
    SCOPED_TRACE(kind == BrokenStore::kReadOnly ? "read-only store" : "full disk");
    harness.dlg->ClearLog();
    bool ran = WithBrokenStore(kind, harness.bridge, [&] {
      RomInfo info;
      EXPECT_EQ(QueryAndDownload(info), 0);
      EXPECT_EQ(ImageOf(info), image);
      EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"}) << "no file left behind";
      EXPECT_EQ(ReadFile("Rom/RX2001-1.0"), "old");
      delete[] info.data;
    });
    if (!ran) GTEST_SKIP() << "needs root for a mount namespace of its own";
    auto lines = harness.view.LogLines();
    ASSERT_EQ(lines.size(), 2u) << harness.view.Log();
    EXPECT_EQ(lines[0].find_first_not_of('#'), std::string::npos) << "the progress line";
    EXPECT_EQ(lines[1], "固件无法保存到Rom目录，本次使用内存中的固件");
  }
}

TEST_F(DownloadRealPeerTest, ImageReachesTheDiskWhileItArrivesAndGoesWhenItFails) {
  // The cloud sends half the image, then holds the connection until it stops.
  std::string image = RandomBytes(3 << 20);
  cloud.AddRelease("RX2001", Manifest("2.0", R"("delivery": "stall")"), image);
  RomInfo info;
  ASSERT_EQ(QueryLatestRom(info, cloud.QueryUrl("RX2001")), 0);
  int code = -1;
  std::thread download([&] { code = info.Download(); });
  // A hidden file of a name of its own.
  std::uintmax_t pending = 0;
  std::string name;
  for (int i = 0; i < 2000 && pending < (1u << 20); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const std::string& file : ListDir("Rom")) {
      if (file.size() == 18 && file.rfind(".RX2001.", 0) == 0 && file.ends_with(".tmp")) name = file;
    }
    std::error_code missing;
    pending = name.empty() ? 0 : fs::file_size("Rom/" + name, missing);
    if (missing) pending = 0;
  }
  EXPECT_GE(pending, 1u << 20) << "what has arrived is on disk while the transfer waits";
  cloud.server().Stop();  // the connection closes with the body unfinished
  download.join();
  EXPECT_EQ(code, 4);
  EXPECT_EQ(info.data, nullptr);
  EXPECT_FALSE(fs::exists("Rom")) << "neither the hidden file nor the folder made for it stays";
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
