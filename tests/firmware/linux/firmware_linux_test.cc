// The firmware tests that need Linux itself: mount namespaces, file size
// limits, kernel attribute files, and a cloud the test can stop.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "fakes/Fakes.h"
#include "firmware/CloudQuery.h"
#include "firmware/RomStore.h"
#include "firmware/linux/FirmwareTestSystem.h"

using namespace fwtest;

namespace {

CloudServer& ServerOf(LocalCloud& cloud) { return *cloud.impl().server; }

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

class LinuxStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pMainDlg = nullptr; }
  ScopedWorkDir work;
};

class LinuxDownloadTest : public LinuxStoreTest {
 protected:
  int QueryAndDownload(RomInfo& info) {
    int code = QueryLatestRom(info, cloud.QueryUrl("RX2001"));
    return code != 0 ? 100 + code : info.Download();
  }
  LocalCloud cloud;
};

}  // namespace

// Whoever can write the working folder must not make the program read or
// serve another file: a link in the store, or a store that is a link, is
// never followed; nor is anything but a regular file opened.
TEST_F(LinuxStoreTest, LinksAndSpecialFilesAreNeverServed) {
  WriteFile("elsewhere/secret", "not an image");
  fs::create_directories("Rom");
  fs::create_symlink(fs::absolute("elsewhere/secret"), "Rom/RX2001-1");
  fs::create_symlink("/sys/kernel/uevent_seqnum", "Rom/RX2001-2");
  ASSERT_EQ(mkfifo("Rom/RX2001-3", 0600), 0);
  RomInfo info;
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "");
  EXPECT_EQ(LoadRomFile(info, "RX2001"), 8);
  EXPECT_EQ(info.data, nullptr);

  fs::remove_all("Rom");
  WriteFile("elsewhere/RX2001-1.0", "an image");
  fs::create_symlink(fs::absolute("elsewhere"), "Rom");
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "");
  EXPECT_EQ(LoadRomFile(info, "RX2001"), 8);
  SavedImage image("new");
  EXPECT_EQ(image.info.SaveToRomDir(), 6);
  EXPECT_EQ(ListDir("elsewhere"), (std::vector<std::string>{"RX2001-1.0", "secret"}));
}

TEST_F(LinuxStoreTest, FailedWriteKeepsTheOlderImage) {
  WriteFile("Rom/RX2001-1.0", "old");
  // A file size limit makes the write fail as a full disk would.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = saved;
  limit.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &limit);
  SavedImage image(RandomBytes(100000));
  int code = image.info.SaveToRomDir();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_EQ(code, 6);
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"}) << "no temporary file left";
  EXPECT_EQ(ReadFile("Rom/RX2001-1.0"), "old");
}

TEST_F(LinuxDownloadTest, VerifiedImageThatCannotBeStoredIsServedFromMemory) {
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

TEST_F(LinuxDownloadTest, ImageReachesTheDiskWhileItArrivesAndGoesWhenItFails) {
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
  ServerOf(cloud).Stop();  // the connection closes with the body unfinished
  download.join();
  EXPECT_EQ(code, 4);
  EXPECT_EQ(info.data, nullptr);
  EXPECT_FALSE(fs::exists("Rom")) << "neither the hidden file nor the folder made for it stays";
}
