// What the terminal window's log pane shows: the log's lines, which of them
// are in view, and how far the pane is scrolled sideways. No drawing here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "console/LogBuffer.h"

class LogView {
 public:
  explicit LogView(std::size_t maxLines = LogBuffer::kDefaultMaxLines) : m_buffer(maxLines) {}

  // Appends at the end and brings the end (where the next text goes) into
  // view, whatever the operator was looking at.
  void Append(std::string_view text);
  void Clear();

  // The pane's text area in cells (the scroll bar is not part of it).
  void SetSize(int rows, int cols);

  void ScrollLines(int delta);  // negative: towards the top
  void PageUp() { ScrollLines(-PageStep()); }
  void PageDown() { ScrollLines(PageStep()); }
  void ScrollHome();
  void ScrollEnd();  // like an append: the end of the last line in view
  // Sideways, in cells; never past the widest line in view.
  void ScrollColumns(int delta);

  int Rows() const { return m_rows; }
  int Cols() const { return m_cols; }
  std::size_t Top() const { return m_top; }
  int Offset();
  std::size_t LineCount() const { return m_buffer.LineCount(); }
  // The rows in view, display-ready, each at most Cols() cells wide. Rows
  // below the last line are absent.
  std::vector<std::string> VisibleRows();
  const LogBuffer& Buffer() const { return m_buffer; }

 private:
  int PageStep() const { return m_rows > 1 ? m_rows - 1 : 1; }
  std::size_t MaxTop() const;
  // Scrolls sideways to the caret when an append or End asked for it. Done
  // when the view is looked at, not per append: a line of progress marks
  // can grow long, and measuring it for every mark would cost quadratic time.
  void ShowCaretIfAsked();
  std::vector<std::string> LinesInView() const;  // display-ready, not cut

  LogBuffer m_buffer;
  int m_rows = 0;
  int m_cols = 0;
  std::size_t m_top = 0;
  int m_offset = 0;
  bool m_bCaretAsked = false;
};
