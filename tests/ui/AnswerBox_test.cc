#include "ui/AnswerBox.h"

#include <gtest/gtest.h>

#include "ui/TextCells.h"

namespace {

const std::string kBad = "\xEF\xBF\xBD";

void TypeText(AnswerBox& box, std::string_view bytes) {
  for (char c : bytes) box.Type(static_cast<unsigned char>(c));
}

class AnswerBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(EnsureUtf8Ctype()); }
  AnswerBox box;
};

TEST_F(AnswerBoxTest, TypedBytesBecomeCharacters) {
  TypeText(box, "1中é");
  EXPECT_EQ(box.Text(), "1中é");
  EXPECT_EQ(box.Cursor(), box.Text().size());
}

TEST_F(AnswerBoxTest, TheFirstKeyAfterSelectAllReplacesTheAnswer) {
  TypeText(box, "12");
  box.SelectAll();
  EXPECT_EQ(box.Text(), "12");  // selecting keeps the text
  TypeText(box, "3");
  EXPECT_EQ(box.Text(), "3");
  EXPECT_FALSE(box.Selected());

  box.SelectAll();
  TypeText(box, "中");  // a multi-byte character replaces it too, once complete
  EXPECT_EQ(box.Text(), "中");

  box.SelectAll();
  box.Backspace();
  EXPECT_EQ(box.Text(), "");

  TypeText(box, "12");
  box.SelectAll();
  box.MoveLeft();  // moving ends the selection instead
  TypeText(box, "x");
  EXPECT_EQ(box.Text(), "x12");
}

TEST_F(AnswerBoxTest, EditingNeverSplitsACharacter) {
  TypeText(box, "a中b");
  box.MoveLeft();
  box.Backspace();
  EXPECT_EQ(box.Text(), "ab");
  box.MoveHome();
  box.Delete();
  EXPECT_EQ(box.Text(), "b");
  box.MoveEnd();
  box.Delete();  // nothing after the cursor
  box.Backspace();
  box.Backspace();
  EXPECT_EQ(box.Text(), "");
  EXPECT_EQ(box.Cursor(), 0u);
}

TEST_F(AnswerBoxTest, InvalidUtf8BecomesReplacementsAndControlsAreDropped) {
  struct Case {
    std::string typed;
    std::string text;
  } cases[] = {
      {"\xFF", kBad},
      {"\xE4" "a", kBad + "a"},              // cut short by an ASCII byte
      {"\xC0\xAF", kBad + kBad},             // overlong lead, stray continuation
      {"\xED\xA0\x80", kBad},                // a surrogate
      {"\xC2\x85", kBad},                    // a C1 control
      {"\x1b[2J\x07\x7f\t", "[2J"},          // C0 controls and DEL are not text
  };
  for (const Case& c : cases) {
    AnswerBox fresh;
    TypeText(fresh, c.typed);
    EXPECT_EQ(fresh.Text(), c.text);
  }
  TypeText(box, "\xE4\xB8");  // unfinished when the operator edits
  box.MoveLeft();
  EXPECT_EQ(box.Text(), kBad);
}

TEST_F(AnswerBoxTest, AFloodOfTypingIsCapped) {
  TypeText(box, std::string(AnswerBox::kMaxBytes + 1000, '9'));
  EXPECT_EQ(box.Text().size(), AnswerBox::kMaxBytes);
  TypeText(box, "中");  // would pass the cap
  EXPECT_EQ(box.Text().size(), AnswerBox::kMaxBytes);
}

TEST_F(AnswerBoxTest, TheViewFollowsTheCursor) {
  TypeText(box, "0123456789abcdef");
  AnswerBox::View view = box.Visible(10);
  EXPECT_EQ(view.text, "789abcdef");  // the last cell is for the cursor
  EXPECT_EQ(view.cursorColumn, 9);
  box.MoveHome();
  view = box.Visible(10);
  EXPECT_EQ(view.text, "0123456789");
  EXPECT_EQ(view.cursorColumn, 0);

  AnswerBox cjk;
  TypeText(cjk, "中文");
  view = cjk.Visible(10);
  EXPECT_EQ(view.text, "中文");
  EXPECT_EQ(view.cursorColumn, 4);
  EXPECT_EQ(cjk.Visible(0).text, "");
}

}  // namespace
