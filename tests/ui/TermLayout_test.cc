#include "ui/TermLayout.h"

#include <gtest/gtest.h>

#include "ui/TextCells.h"

namespace {

TEST(TermLayoutTest, AFullSizeScreenHasBarsLogAndAnswerBox) {
  ScreenLayout layout = ComputeLayout(24, 80);
  EXPECT_EQ(layout.titleRow, 0);
  EXPECT_EQ(layout.logTop, 1);
  EXPECT_EQ(layout.logRows, 21);
  EXPECT_EQ(layout.logCols, 79);
  EXPECT_TRUE(layout.scrollBar);
  EXPECT_EQ(layout.hintRow, 22);
  EXPECT_EQ(layout.inputRow, 23);
}

TEST(TermLayoutTest, TinyScreensKeepTheAnswerBoxAndNeverGoNegative) {
  for (int rows = 0; rows <= 5; ++rows) {
    for (int cols = 0; cols <= 3; ++cols) {
      ScreenLayout layout = ComputeLayout(rows, cols);
      SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
      EXPECT_GE(layout.logRows, 0);
      EXPECT_GE(layout.logCols, 0);
      EXPECT_LE(layout.logTop + layout.logRows, std::max(rows - 1, 0));
      EXPECT_EQ(layout.inputRow, rows > 0 && cols > 0 ? rows - 1 : -1);
      EXPECT_LT(layout.hintRow, std::max(rows - 1, 0));
    }
  }
}

TEST(TermLayoutTest, TheThumbShowsWhereTheViewIs) {
  struct Case {
    std::size_t total, visible, top;
    int track;
    int start, length;
  } cases[] = {
      {5, 20, 0, 20, 0, 20},      // all in view
      {100, 20, 0, 20, 0, 4},     // at the top
      {100, 20, 80, 20, 16, 4},   // at the end
      {100, 20, 40, 20, 8, 4},    // half way
      {1000000, 20, 0, 20, 0, 1}, // never thinner than a cell
      {100, 20, 0, 0, 0, 0},      // no track
  };
  for (const Case& c : cases) {
    Thumb thumb = ComputeThumb(c.total, c.visible, c.top, c.track);
    EXPECT_EQ(thumb.start, c.start) << c.total << "/" << c.top;
    EXPECT_EQ(thumb.length, c.length) << c.total << "/" << c.top;
  }
}

TEST(TermLayoutTest, BoxesWrapTheirTextAndFitAnyScreen) {
  ASSERT_TRUE(EnsureUtf8Ctype());
  const std::string text = "本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！";
  BoxLayout wide = ComputeBox(24, 80, "Terno 修复助手", text, "[ 确定 ]");
  EXPECT_EQ(wide.textLines.size(), 2u);  // 66 cells in lines of at most 60
  EXPECT_EQ(wide.height, 6);
  EXPECT_EQ(wide.width, 64);
  EXPECT_EQ(wide.left, 8);

  for (int rows = 0; rows <= 12; ++rows) {
    for (int cols = 0; cols <= 30; ++cols) {
      BoxLayout box = ComputeBox(rows, cols, "关于Terno 修复工具", text, "[ 确定 ]");
      SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
      EXPECT_GE(box.top, 0);
      EXPECT_GE(box.left, 0);
      EXPECT_LE(box.top + box.height, rows);
      EXPECT_LE(box.left + box.width, cols);
      EXPECT_LE(static_cast<int>(box.textLines.size()), std::max(box.height - 4, 0));
    }
  }
}

TEST(TermLayoutTest, ColoursMapToTheNearestBasicColour) {
  EXPECT_EQ(NearestTerminalColour(RGB(0, 255, 0)), 2);  // the console's green
  EXPECT_EQ(NearestTerminalColour(RGB(0, 0, 0)), 0);
  EXPECT_EQ(NearestTerminalColour(RGB(255, 255, 255)), 7);
  EXPECT_EQ(NearestTerminalColour(RGB(255, 255, 0)), 3);
  EXPECT_EQ(NearestTerminalColour(RGB(0, 0, 200)), 4);
}

}  // namespace
