// The store's rules that only Windows has: names it would refuse or change,
// and files it protects or hides.
#include <gtest/gtest.h>

#include "firmware/FirmwareTestSupport.h"
#include "firmware/RomStore.h"
#include "platform/windows/Win32.h"

using namespace fwtest;

namespace {

class WinStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { g_pMainDlg = nullptr; }
  ScopedWorkDir work;
};

void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesW(fs::path(path).wstring().c_str(), attributes));
}

}  // namespace

TEST_F(WinStoreTest, NamesWindowsWouldRefuseOrChangeAreNotStored) {
  const std::pair<std::string, std::string> cases[] = {
      {"RX2001", "1:2"},   // a stream of the file "RX2001-1"
      {"RX2001", "1?"},   {"RX2001", "1*"}, {"RX2001", "<1>"}, {"RX2001", "1|2"}, {"RX2001", "\"1\""},
      {"RX2001", "2.0."},  // Windows would drop the final dot
      {"RX2001", "2.0 "},
      {"CON.bin", "1.0"},  // a device name before the first dot
  };
  WriteFile("Rom/RX2001-1.0", "old");
  for (const auto& [model, version] : cases) {
    SCOPED_TRACE(model + " / " + version);
    SavedImage image("new", model, version);
    EXPECT_EQ(image.info.SaveToRomDir(), 6);
    EXPECT_EQ(ListDir("Rom"), std::vector<std::string>{"RX2001-1.0"});
  }
  EXPECT_TRUE(IsValidStoreName("recovery.bin", "2.0-beta"));
}

TEST_F(WinStoreTest, HiddenFilesAreNotTheStoresAndReadOnlyOnesStopThePurge) {
  WriteFile("Rom/RX2001-0.9", "hidden");
  SetAttributes("Rom/RX2001-0.9", FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "");
  WriteFile("Rom/RX2001-1.0", "read-only");
  SetAttributes("Rom/RX2001-1.0", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(FindRomFile("Rom", "RX2001", false), "RX2001-1.0");

  SavedImage image("new");
  EXPECT_EQ(image.info.SaveToRomDir(), 6);
  EXPECT_EQ(ListDir("Rom"), (std::vector<std::string>{"RX2001-0.9", "RX2001-1.0"}));
  EXPECT_EQ(ReadFile("Rom/RX2001-1.0"), "read-only");
  SetAttributes("Rom/RX2001-1.0", FILE_ATTRIBUTE_NORMAL);  // so that the folder can go
  SetAttributes("Rom/RX2001-0.9", FILE_ATTRIBUTE_NORMAL);
}
