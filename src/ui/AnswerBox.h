// The one-line answer box of the terminal window: its text, the cursor, the
// "all selected" state that the next typed character replaces, and which
// part of the text is in view. No drawing here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class AnswerBox {
 public:
  // More than any answer needs; typing beyond it is ignored, so a pasted
  // flood cannot make editing slow.
  static constexpr std::size_t kMaxBytes = 4096;

  // One byte typed at the keyboard. Multi-byte characters are assembled;
  // an invalid sequence becomes U+FFFD; control characters are ignored.
  void Type(unsigned char byte);
  void Backspace();
  void Delete();
  void MoveLeft();
  void MoveRight();
  void MoveHome();
  void MoveEnd();
  // Selects the whole text; the cursor goes to its end.
  void SelectAll();
  void Clear();

  const std::string& Text() const { return m_text; }
  bool Selected() const { return m_bSelected; }
  std::size_t Cursor() const { return m_cursor; }  // byte index into Text()

  struct View {
    std::string text;  // the part in view, at most `width` cells
    int cursorColumn;  // cell of the cursor within the view
  };
  // Scrolls sideways as little as needed to keep the cursor in view.
  View Visible(int width);

 private:
  void Insert(std::string_view character);
  void FlushPending();     // an unfinished sequence becomes U+FFFD
  bool ReplaceSelection();  // removes a selected text; true when there was one
  void Deselect() { m_bSelected = false; }

  std::string m_text;
  std::size_t m_cursor = 0;
  bool m_bSelected = false;
  int m_scroll = 0;          // first cell in view
  std::string m_pending;     // bytes of an unfinished UTF-8 sequence
  std::size_t m_expected = 0;
};
