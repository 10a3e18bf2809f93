#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fakes/Fakes.h"
#include "firmware/Download.h"
#include "firmware/Md5.h"
#include "firmware/FirmwareTestSupport.h"
#include "firmware/Preparation.h"

using namespace fwtest;

namespace {

std::vector<unsigned char> Bytes(const ServedFile& file) {
  return std::vector<unsigned char>(file.data, file.data + file.size);
}

std::string Text(const ServedFile& file) {
  return std::string(reinterpret_cast<const char*>(file.data), static_cast<std::size_t>(file.size));
}

// The record as the router expects it, written out byte by byte.
std::vector<unsigned char> ExpectedConfig(const std::string& head, const std::string& tail, bool restore) {
  std::vector<unsigned char> bytes(52, 0);
  for (int i = 0; i < 4; ++i) bytes[i] = 0xEF;
  bytes[11] = 1;
  std::memcpy(&bytes[12], head.data(), head.size());
  std::memcpy(&bytes[21], tail.data(), tail.size());
  bytes[43] = restore ? 1 : 0;
  return bytes;
}

std::string Md5Hex(const std::string& bytes) {
  Md5 digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.HexDigest();
}

}  // namespace

TEST(RecoveryConfigTest, VersionIsSplitAtItsFirstDot) {
  struct Case {
    std::string version;
    std::string head;
    std::string tail;
  };
  const Case cases[] = {
      {"1.2.3", "1", "2.3"},
      {"abcdefghij.k", "abcdefgh", "k"},
      {"1." + std::string(25, 't'), "1", std::string(18, 't')},
      {"20240101", "20240101", ""},
      {"", "", ""},
      {".5", "", "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    ASSERT_EQ(BuildRecoveryConfig(c.version, true), 0);
    EXPECT_EQ(Bytes(g_recoveryCfg), ExpectedConfig(c.head, c.tail, false));
    ResetServedFiles();
  }
}

TEST(RecoveryConfigTest, RestoreFlagIsTheOppositeOfNoRestore) {
  ASSERT_EQ(BuildRecoveryConfig("1.0", false), 0);
  EXPECT_EQ(Bytes(g_recoveryCfg), ExpectedConfig("1", "0", true));
  ResetServedFiles();
}

TEST(RecoveryConfigTest, ResultBufferIsZeroedAndOneKilobyte) {
  ASSERT_EQ(AllocResultBuffer(), 0);
  EXPECT_EQ(Bytes(g_recoveryResult), std::vector<unsigned char>(1024, 0));
  ResetServedFiles();
}

namespace {

// Runs the real workers on a wizard with fakes, inside a folder of its own.
class FirmwareWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetServedFiles();
    harness.Start();
    harness.dlg->m_strModel = "RX2001";
  }
  void TearDown() override {
    ResetServedFiles();
    g_pMainDlg = nullptr;
    UnsetEnv("BRICKFIX_CLOUD_HOST");
  }

  void Unreachable() {
    SetEnv("BRICKFIX_CLOUD_HOST", "127.0.0.1:" + std::to_string(ClosedPort()));
  }
  // Runs `worker` and returns the exit status when it ended the process.
  template <typename Worker>
  int RunToExit(Worker worker) {
    try {
      worker(harness.dlg.get());
    } catch (const FakeExit& exit) {
      return exit.status;
    }
    ADD_FAILURE() << "the worker did not end the process";
    return -1;
  }
  void ExpectStepFive() {
    EXPECT_EQ(harness.dlg->m_nStep, 5);
    EXPECT_NE(harness.view.Log().find("当前可用网卡如下"), std::string::npos) << "adapter list shown";
    ASSERT_NE(g_recoveryCfg.data, nullptr);
    EXPECT_EQ(g_recoveryCfg.size, 52);
    EXPECT_EQ(g_recoveryResult.size, 1024);
  }
  std::vector<std::string> Log() { return harness.view.LogLines(); }

  ScopedWorkDir work;
  WizardHarness harness;
};

}  // namespace

TEST_F(FirmwareWorkerTest, DownloadServesTheNewestRelease) {
  LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  std::string image = RandomBytes(20000);
  cloud.AddRelease("RX2001", Manifest("2.5"), image);
  WriteFile("Rom/RX2001-1.0", "old");
  harness.dlg->ClearLog();
  DownloadFirmwareThread(harness.dlg.get());

  auto log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "开始下载");
  EXPECT_EQ(log[1].find_first_not_of('#'), std::string::npos) << "progress line";
  EXPECT_EQ(log[2], "下载完成，使用最新固件");
  ExpectStepFive();
  EXPECT_EQ(Text(g_recoveryBin), image);
  EXPECT_EQ(g_recoveryCfg.data[12], '2');
  EXPECT_EQ(g_recoveryCfg.data[21], '5');
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-2.5"});
  auto requests = cloud.Requests();
  ASSERT_EQ(requests.size(), 2u);
  // The local cloud closes every connection after one request, so what the
  // download can reuse is the query's TLS session.
  EXPECT_FALSE(requests[0].resumedSession);
  if (kResumesTlsSessions) {
    EXPECT_TRUE(requests[1].resumedSession) << "the download resumes the query's TLS session";
  }
}

TEST_F(FirmwareWorkerTest, FailedDownloadFallsBackToTheStoredImage) {
  LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", Manifest("2.5", R"("md5": "00000000000000000000000000000000")"), "new");
  WriteFile("Rom/RX2001-1.0", "stored image");
  harness.dlg->ClearLog();
  DownloadFirmwareThread(harness.dlg.get());

  auto log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "开始下载");
  EXPECT_EQ(log[2], "联网下载固件失败，使用本地固件");
  ExpectStepFive();
  EXPECT_EQ(Text(g_recoveryBin), "stored image");
  // The record carries the stored file's version, not the cloud's 2.5.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(g_recoveryCfg.data + 12)), "1");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(g_recoveryCfg.data + 21)), "0");
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"});
}

TEST_F(FirmwareWorkerTest, FallbackKeepsTheCloudVersionForAStoredFileWithoutOne) {
  LocalCloud cloud;
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", Manifest("3.4", R"("delivery": "drop")"), RandomBytes(10000));
  WriteFile("Rom/RX2001", "stored image");
  DownloadFirmwareThread(harness.dlg.get());
  ExpectStepFive();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(g_recoveryCfg.data + 12)), "3");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(g_recoveryCfg.data + 21)), "4");
}

TEST_F(FirmwareWorkerTest, ForcedDownloadThatFailsEndsTheProcess) {
  Unreachable();
  harness.dlg->m_bForceDownload = 1;
  EXPECT_EQ(RunToExit(DownloadFirmwareThread), 0);
  EXPECT_EQ(harness.view.Messages(), std::vector<std::string>{"联网下载固件失败，请退出后重试。"});
  EXPECT_EQ(harness.dlg->m_nStep, 0) << "step 5 never entered";
  EXPECT_EQ(g_recoveryBin.data, nullptr);
}

TEST_F(FirmwareWorkerTest, FallbackWithoutAStoredImageEndsTheProcess) {
  Unreachable();
  EXPECT_EQ(RunToExit(DownloadFirmwareThread), 0);
  EXPECT_NE(harness.view.Log().find("联网下载固件失败，使用本地固件"), std::string::npos);
  EXPECT_EQ(harness.view.Messages(), std::vector<std::string>{"准备文件出错！请退出后重试。"});
}

TEST_F(FirmwareWorkerTest, LocalWorkerServesTheStoredImage) {
  WriteFile("Rom/RX2001", "stored");
  harness.dlg->ClearLog();
  PrepareLocalFirmwareThread(harness.dlg.get());
  EXPECT_EQ(harness.view.LogLines().front(), "当前可用网卡如下，请正确选择所使用的网卡：") << "nothing before";
  ExpectStepFive();
  EXPECT_EQ(Text(g_recoveryBin), "stored");
  EXPECT_EQ(Bytes(g_recoveryCfg), ExpectedConfig("", "", false)) << "no version in the name";
}

// When the cloud's release has the stored version, the stored file must be
// its image: anything else (planted, cut short) counts as no stored image.
TEST_F(FirmwareWorkerTest, AStoredImageIsCheckedAgainstTheCloudsDigestWhenItIsKnown) {
  const std::string image = RandomBytes(5000);
  LocalCloud cloud;  // one for every case: a cloud that saw no request may not stop
  SKIP_WITHOUT_CLOUD(cloud);
  cloud.AddRelease("RX2001", Manifest("2.5"), image);
  struct Case {
    const char* what;
    std::string stored;
    bool served;  // the stored file is served as it is
  } cases[] = {
      {"cut short", image.substr(0, 4000), false},
      {"planted", RandomBytes(5000, 2), false},
      {"the same bytes", image, true},
      {"planted, and the cloud gone meanwhile", RandomBytes(5000, 3), false},  // the last: no cloud after it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetServedFiles();
    fs::remove_all("Rom");
    WriteFile("Rom/RX2001-2.5", c.stored);
    harness.dlg->m_bForceDownload = 0;
    harness.dlg->m_strStoredMd5 = Md5Hex(image);
    harness.dlg->ClearLog();
    if (&c == &cases[3]) {
      Unreachable();
      EXPECT_EQ(RunToExit(PrepareLocalFirmwareThread), 0);
      EXPECT_EQ(harness.view.Messages().back(), "联网下载固件失败，请退出后重试。");
      continue;
    }
    std::size_t requests = cloud.Requests().size();
    PrepareLocalFirmwareThread(harness.dlg.get());
    ExpectStepFive();
    EXPECT_EQ(Text(g_recoveryBin), image);
    EXPECT_EQ(harness.dlg->m_bForceDownload, c.served ? 0 : 1);
    EXPECT_EQ(cloud.Requests().size() - requests, c.served ? 0u : 2u) << "a download only for a bad file";
    auto log = Log();
    if (!c.served) {
      ASSERT_GE(log.size(), 3u);
      EXPECT_EQ(log[0], "本地固件RX2001-2.5与最新固件的MD5不符，不能使用");
      EXPECT_EQ(log[1], "本地没有固件，强制从互联网下载固件：RX2001-2.5");
      EXPECT_EQ(log[2], "开始下载");
      EXPECT_EQ(ReadFile("Rom/RX2001-2.5"), image) << "the bad file is replaced";
    }
  }
}

TEST_F(FirmwareWorkerTest, LocalWorkerWithoutAStoredImageEndsTheProcess) {
  for (bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "an empty file" : "no file");
    if (empty) WriteFile("Rom/RX2001-1.0", "");
    EXPECT_EQ(RunToExit(PrepareLocalFirmwareThread), 0);
    EXPECT_EQ(harness.view.Messages().back(), "升级文件不存在，请准备好再重试。");
    EXPECT_EQ(g_recoveryBin.data, nullptr);
  }
}

// A release must be the asked model's, with an image: another model's would
// replace this model's stored files and reach its router; an empty one would
// be served as nothing and look complete.
TEST_F(FirmwareWorkerTest, AReleaseOfAnotherModelOrWithoutAnImageIsRefused) {
  struct Case {
    const char* what;
    std::string extra;
    std::string image;
    bool accepted;
  };
  const Case cases[] = {
      {"another model", R"("model": "RX2002")", "other image", false},
      {"no model", R"("model": "")", "other image", false},
      {"a longer name", R"("model": "RX2001X")", "other image", false},
      {"no bytes", "", "", false},
      {"the model in other letter case", R"("model": "rx2001")", "new image", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetServedFiles();
    fs::remove_all("Rom");
    WriteFile("Rom/RX2001-1.0", "stored image");
    LocalCloud cloud;
    cloud.AddRelease("RX2001", Manifest("2.5", c.extra), c.image);
    harness.dlg->ClearLog();
    DownloadFirmwareThread(harness.dlg.get());
    ExpectStepFive();
    if (c.accepted) {
      EXPECT_EQ(Text(g_recoveryBin), c.image);
      continue;
    }
    EXPECT_NE(harness.view.Log().find("联网下载固件失败，使用本地固件"), std::string::npos);
    EXPECT_EQ(Text(g_recoveryBin), "stored image");
    EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"}) << "nothing purged or stored";
    EXPECT_EQ(cloud.Requests().size(), 1u) << "no download";
  }
}

TEST_F(FirmwareWorkerTest, RestoreChoiceReachesTheRecord) {
  WriteFile("Rom/RX2001-1.0", "image");
  harness.dlg->m_bNoRestoreCfg = false;
  PrepareLocalFirmwareThread(harness.dlg.get());
  EXPECT_EQ(Bytes(g_recoveryCfg), ExpectedConfig("1", "0", true));
}
