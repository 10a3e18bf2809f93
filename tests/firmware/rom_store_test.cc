#include <gtest/gtest.h>

#include <filesystem>

#include "firmware/Download.h"
#include "firmware/FirmwareTestSupport.h"
#include "firmware/RomStore.h"

using namespace fwtest;

namespace {

class RomStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pMainDlg = nullptr; }
  void Store(const std::string& name, const std::string& bytes = "image") { WriteFile("Rom/" + name, bytes); }
  void StoreDir(const std::string& name) { fs::create_directories("Rom/" + name); }

  ScopedWorkDir work;
};

}  // namespace

TEST_F(RomStoreTest, LookupMatchesTheModelPrefixAndSkipsEverythingElse) {
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "") << "no store at all";
  EXPECT_FALSE(fs::exists("Rom")) << "a lookup never creates the store";

  StoreDir("RX2001-0.9");           // directories never count
  Store(".RX2001.tmp");             // an unfinished save never counts
  Store("RX2002-1.0");
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "");

  Store("rx2001-1.1");              // letter case does not count
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "rx2001-1.1");
  Store("RX2001-1.0");
  Store("RX2001old.bin");           // any name beginning with the model
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "RX2001-1.0") << "first in name order";
  EXPECT_EQ(FindRomFile("Rom", "recovery.bin", false), "");
  Store("recovery.bin");
  EXPECT_EQ(FindRomFile("Rom", "recovery.bin", false), "recovery.bin");
}

TEST_F(RomStoreTest, PurgeDeletesOnlyTheModelsFiles) {
  Store("RX2001-A");
  Store("RX2001-B");
  Store("RX2001");
  Store("RX2002-1.0");
  Store(".RX2001.tmp");
  StoreDir("RX2001-X");
  EXPECT_EQ(FindRomFile("Rom", "RX2001", true), "");
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{".RX2001.tmp", "RX2001-X", "RX2002-1.0"}));
}

TEST_F(RomStoreTest, PurgeStopsAtAFileThatCannotBeDeleted) {
  Store("RX2001-A");
  Store("RX2001-B");
  Store("RX2001-C");
  LockedFile locked("Rom/RX2001-B");
  SKIP_UNLESS_LOCKED(locked);
  EXPECT_EQ(FindRomFile("Rom", "RX2001", true), "RX2001-B");
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{"RX2001-B", "RX2001-C"}));
}

TEST_F(RomStoreTest, LoadTakesTheVersionFromTheFileName) {
  struct Case {
    const char* file;
    const char* version;  // after the load; the record starts with "kept"
  };
  const Case cases[] = {
      {"RX2001-1.2-beta", "1.2-beta"},
      {"RX2001-", ""},
      {"RX2001", "kept"},
      {"RX2001old.bin", "kept"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    fs::remove_all("Rom");
    std::string bytes = RandomBytes(1000, 7);
    Store(c.file, bytes);
    RomInfo info;
    info.version = "kept";
    ASSERT_EQ(LoadRomFile(info, "RX2001"), 0);
    EXPECT_EQ(info.version, c.version);
    ASSERT_EQ(info.size, 1000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.data), 1000), bytes);
    delete[] info.data;
  }
}

TEST_F(RomStoreTest, LoadOfAnEmptyFileIsRefused) {
  Store("RX2001-1.0", "");
  RomInfo info;
  EXPECT_EQ(LoadRomFile(info, "RX2001"), 7);
  EXPECT_EQ(info.data, nullptr);
}

TEST_F(RomStoreTest, LoadWithoutAFileFails) {
  RomInfo info;
  EXPECT_EQ(LoadRomFile(info, "RX2001"), 8);
  EXPECT_FALSE(fs::exists("Rom"));
  StoreDir("RX2001-1.0");
  EXPECT_EQ(LoadRomFile(info, "RX2001"), 8);
  EXPECT_EQ(info.data, nullptr);
}

TEST_F(RomStoreTest, SaveReplacesTheModelsOlderFiles) {
  Store("RX2001-1.0", "old");
  Store("rx2001-hand-copied", "old");
  Store("RX2002-1.0", "other model");
  SavedImage image(RandomBytes(5000));
  EXPECT_EQ(image.info.SaveToRomDir(), 0);
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{"RX2001-2.0", "RX2002-1.0"}));
  EXPECT_EQ(ReadFile("Rom/RX2001-2.0"), std::string(image.block.begin(), image.block.end()));
}

TEST_F(RomStoreTest, SaveCreatesTheStoreAndOverwritesTheSameVersion) {
  SavedImage first("first");
  EXPECT_EQ(first.info.SaveToRomDir(), 0);
  SavedImage second("second");
  EXPECT_EQ(second.info.SaveToRomDir(), 0);
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-2.0"});
  EXPECT_EQ(ReadFile("Rom/RX2001-2.0"), "second");
}

TEST_F(RomStoreTest, SaveRefusesNamesThatLeaveTheStore) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "1.0"},
      {".hidden", "1.0"},
      {"../RX2001", "1.0"},
      {"RX2001", "../../etc/passwd"},
      {"RX2001", "1/2"},
      {"RX2001", "1\\2"},
      {"RX2001", "1..2"},
      {"RX2001", std::string("1\x01", 2)},
      {"RX2001", std::string("1\0x", 3)},
      {"RX2001", "1\x7f"},
      {"RX2001", std::string(300, 'v')},
  };
  Store("RX2001-1.0", "old");
  Store("RX2002-1.0", "other");
  for (const auto& [model, version] : cases) {
    SCOPED_TRACE(model + " / " + version);
    SavedImage image("new", model, version);
    EXPECT_EQ(image.info.SaveToRomDir(), 6);
    EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{"RX2001-1.0", "RX2002-1.0"}));
  }
  EXPECT_TRUE(IsValidStoreName("recovery.bin", "1.0 beta")) << "a dot and printable text are fine";
}

TEST_F(RomStoreTest, LockedOlderFileFailsTheSave) {
  Store("RX2001-1.0", "old");
  LockedFile locked("Rom/RX2001-1.0");
  SKIP_UNLESS_LOCKED(locked);
  SavedImage image("new");
  EXPECT_EQ(image.info.SaveToRomDir(), 6);
  EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"});
  EXPECT_EQ(ReadFile("Rom/RX2001-1.0"), "old");
}

TEST_F(RomStoreTest, StoreThatIsNotADirectoryFailsTheSave) {
  WriteFile("Rom", "not a folder");
  SavedImage image("new");
  EXPECT_EQ(image.info.SaveToRomDir(), 6);
  EXPECT_EQ(ReadFile("Rom"), "not a folder");
}

// A save writes a hidden file of a name of its own, never one that is there
// (another run's); the one name per model of earlier versions is cleared.
TEST_F(RomStoreTest, LeftoverOfACutOffSaveIsReplacedAndOtherRunsFilesStay) {
  Store(".RX2001.tmp", "half an image");
  Store(".RX2001.AbC123.tmp", "another run's");
  SavedImage image("new");
  EXPECT_EQ(image.info.SaveToRomDir(), 0);
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{".RX2001.AbC123.tmp", "RX2001-2.0"}));
  EXPECT_EQ(ReadFile("Rom/.RX2001.AbC123.tmp"), "another run's");
}
