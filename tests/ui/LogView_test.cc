#include "ui/LogView.h"

#include <gtest/gtest.h>

#include "ui/TextCells.h"

namespace {

using Rows = std::vector<std::string>;

class LogViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(EnsureUtf8Ctype());
    view.SetSize(3, 10);
  }
  void AppendLines(int count) {
    for (int i = 0; i < count; ++i) view.Append("line" + std::to_string(i) + "\r\n");
  }
  LogView view;
};

TEST_F(LogViewTest, AnAppendAlwaysBringsTheEndIntoView) {
  AppendLines(10);  // ten lines and the empty one the next text goes to
  EXPECT_EQ(view.LineCount(), 11u);
  EXPECT_EQ(view.VisibleRows(), (Rows{"line8", "line9", ""}));
  view.ScrollHome();
  EXPECT_EQ(view.VisibleRows(), (Rows{"line0", "line1", "line2"}));
  view.Append("more");  // wherever the operator was looking
  EXPECT_EQ(view.VisibleRows(), (Rows{"line8", "line9", "more"}));
}

TEST_F(LogViewTest, ScrollingStaysInsideTheLog) {
  AppendLines(10);
  view.PageUp();  // a page is the height less one line of overlap
  EXPECT_EQ(view.Top(), 6u);
  view.ScrollLines(-100);
  EXPECT_EQ(view.Top(), 0u);
  view.PageUp();
  EXPECT_EQ(view.Top(), 0u);
  view.PageDown();
  EXPECT_EQ(view.Top(), 2u);
  view.ScrollLines(1000);
  EXPECT_EQ(view.Top(), 8u);
  view.ScrollEnd();
  EXPECT_EQ(view.Top(), 8u);

  view.SetSize(5, 10);  // following the end: still at the end when taller
  EXPECT_EQ(view.Top(), 6u);
  view.ScrollLines(-4);
  view.SetSize(3, 10);  // scrolled up: stays where the operator put it
  EXPECT_EQ(view.Top(), 2u);

  view.SetSize(20, 10);  // taller than the log: nothing to scroll
  EXPECT_EQ(view.Top(), 0u);
  EXPECT_EQ(view.VisibleRows().size(), 11u);
}

TEST_F(LogViewTest, TheCaretOfALongUnfinishedLineStaysInViewSideways) {
  view.Append("0123456789abcdef");  // progress marks running past the edge
  EXPECT_EQ(view.Offset(), 7);
  EXPECT_EQ(view.VisibleRows().back(), "789abcdef");
  view.Append("\r\n");  // the line ends: back to the left edge
  EXPECT_EQ(view.Offset(), 0);
}

TEST_F(LogViewTest, SidewaysScrollingStopsAtTheWidestLineInView) {
  view.Append("short\r\n0123456789abcdefghij\r\n");
  view.ScrollColumns(8);
  EXPECT_EQ(view.Offset(), 8);
  EXPECT_EQ(view.VisibleRows(), (Rows{"", "89abcdefgh", ""}));
  view.ScrollColumns(8);  // widest line is 20 cells, the pane 10
  EXPECT_EQ(view.Offset(), 10);
  view.ScrollColumns(-100);
  EXPECT_EQ(view.Offset(), 0);
}

TEST_F(LogViewTest, RowsAreCutToThePaneAndSafeToDraw) {
  view.Append("请选择机型：\r\n\x1b[2Jx\tz\r\n");
  Rows rows = view.VisibleRows();
  EXPECT_EQ(rows[0], "请选择机型");
  EXPECT_EQ(rows[1], "\xEF\xBF\xBD[2Jx   z");  // tab to the next stop at 8 cells
  for (const std::string& row : rows) EXPECT_LE(DisplayWidth(row), view.Cols());
}

TEST_F(LogViewTest, ClearEmptiesAndTheLineCapDropsTheOldest) {
  AppendLines(4);
  view.Clear();
  EXPECT_EQ(view.LineCount(), 1u);
  EXPECT_EQ(view.VisibleRows(), (Rows{""}));

  LogView capped(5);
  capped.SetSize(3, 10);
  for (int i = 0; i < 20; ++i) capped.Append("x" + std::to_string(i) + "\r\n");
  EXPECT_EQ(capped.LineCount(), 5u);
  capped.ScrollHome();
  EXPECT_EQ(capped.VisibleRows().front(), "x16");
}

}  // namespace
