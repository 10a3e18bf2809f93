#include "ui/TextCells.h"

#include <gtest/gtest.h>

namespace {

class TextCellsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(EnsureUtf8Ctype()); }
};

TEST_F(TextCellsTest, WidthsCountCjkTwiceAndCombiningMarksNotAtAll) {
  struct Case {
    const char* text;
    int width;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"请选择机型：", 12},
      {"1. Terno Lark（RX2001）", 23},  // full-width brackets
      {"e\xCC\x81", 1},                 // e + combining acute
      {"\xEF\xBF\xBD", 1},              // the replacement character
  };
  for (const Case& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

TEST_F(TextCellsTest, DisplayLineExpandsTabsAndNeutralisesWhatTheTerminalWouldObey) {
  EXPECT_EQ(DisplayLine("a\tb"), "a       b");
  EXPECT_EQ(DisplayLine("中\tx"), "中      x");  // tab stops count cells, not bytes
  EXPECT_EQ(DisplayLine("\x1b[2J"), "\xEF\xBF\xBD[2J");
  EXPECT_EQ(DisplayLine("a\rb"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(DisplayLine("\xFF\xE4\xB8"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(DisplayLine("\xC2\x9B" "1m"), "\xEF\xBF\xBD" "1m");  // C1 control introducer
}

TEST_F(TextCellsTest, CellSliceCutsDoubleWidthCharactersIntoSpaces) {
  struct Case {
    const char* text;
    int offset, width;
    const char* expected;
  } cases[] = {
      {"abcdef", 2, 3, "cde"},
      {"中文字", 1, 4, " 文 "},
      {"中文", 0, 3, "中 "},
      {"中文", 0, 1, " "},
      {"ab", 5, 3, ""},
      {"abc", 0, 0, ""},
      {"e\xCC\x81x", 0, 1, "e\xCC\x81"},  // the mark stays with its letter
      {"e\xCC\x81x", 1, 1, "x"},          // and goes with it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CellSlice(c.text, c.offset, c.width), c.expected)
        << c.text << " @" << c.offset << " w" << c.width;
  }
}

TEST_F(TextCellsTest, CellSliceIsAlwaysExactlyAsWideAsTheCellsItCovers) {
  const std::string text = "1. Terno Lark（RX2001）固件烧写成功！";
  const int total = DisplayWidth(text);
  for (int offset = 0; offset <= total + 2; ++offset) {
    for (int width = 0; width <= total + 2; ++width) {
      int expected = std::max(0, std::min(width, total - offset));
      ASSERT_EQ(DisplayWidth(CellSlice(text, offset, width)), expected) << offset << "/" << width;
    }
  }
}

TEST_F(TextCellsTest, WrapBreaksAtLineEndsAndAtTheWidth) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(WrapToWidth("非法机型，请重新输入！", 10), (Lines{"非法机型，", "请重新输入", "！"}));
  EXPECT_EQ(WrapToWidth("a\r\nb\nc", 5), (Lines{"a", "b", "c"}));
  EXPECT_EQ(WrapToWidth("", 5), (Lines{""}));
  EXPECT_EQ(WrapToWidth("中文", 1), (Lines{"中", "文"}));  // too narrow, still progresses
  EXPECT_EQ(WrapToWidth("a\x1b", 5), (Lines{"a\xEF\xBF\xBD"}));
}

}  // namespace
