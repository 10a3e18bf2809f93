#include "ui/LogView.h"

#include <algorithm>

#include "ui/TextCells.h"

void LogView::Append(std::string_view text) {
  m_buffer.Append(text);
  ScrollEnd();
}

void LogView::Clear() {
  m_buffer.Clear();
  m_top = 0;
  m_offset = 0;
  m_bCaretAsked = false;
}

int LogView::Offset() {
  ShowCaretIfAsked();
  return m_offset;
}

void LogView::SetSize(int rows, int cols) {
  bool atEnd = m_top >= MaxTop();  // a view that follows the end keeps doing so
  m_rows = std::max(rows, 0);
  m_cols = std::max(cols, 0);
  m_top = atEnd ? MaxTop() : std::min(m_top, MaxTop());
}

std::size_t LogView::MaxTop() const {
  std::size_t rows = static_cast<std::size_t>(m_rows);
  return LineCount() > rows ? LineCount() - rows : 0;
}

void LogView::ScrollLines(int delta) {
  if (delta < 0) {
    std::size_t up = static_cast<std::size_t>(-static_cast<long long>(delta));
    m_top = up > m_top ? 0 : m_top - up;
  } else {
    m_top = std::min(m_top + static_cast<std::size_t>(delta), MaxTop());
  }
}

void LogView::ScrollHome() {
  m_top = 0;
  m_offset = 0;
  m_bCaretAsked = false;
}

void LogView::ScrollEnd() {
  m_top = MaxTop();
  m_bCaretAsked = true;
}

void LogView::ShowCaretIfAsked() {
  if (!m_bCaretAsked) return;
  m_bCaretAsked = false;
  // Minimal sideways scroll that shows the caret after the last character.
  int caret = DisplayWidth(DisplayLine(m_buffer.Lines().back()));
  if (caret < m_offset) m_offset = caret;
  else if (m_cols > 0 && caret >= m_offset + m_cols) m_offset = caret - m_cols + 1;
}

void LogView::ScrollColumns(int delta) {
  ShowCaretIfAsked();
  int widest = 0;
  for (const std::string& line : LinesInView()) widest = std::max(widest, DisplayWidth(line));
  int limit = std::max(widest - m_cols, 0);
  int next = m_offset + delta;
  // Scrolling right stops at the widest line; an offset that is already
  // further (the lines in view changed) is kept until the operator goes left.
  if (delta > 0) next = std::min(next, std::max(limit, m_offset));
  m_offset = std::max(next, 0);
}

std::vector<std::string> LogView::LinesInView() const {
  std::vector<std::string> lines;
  const auto& all = m_buffer.Lines();
  std::size_t end = std::min(all.size(), m_top + static_cast<std::size_t>(m_rows));
  for (std::size_t i = m_top; i < end; ++i) lines.push_back(DisplayLine(all[i]));
  return lines;
}

std::vector<std::string> LogView::VisibleRows() {
  ShowCaretIfAsked();
  std::vector<std::string> rows = LinesInView();
  for (std::string& row : rows) row = CellSlice(row, m_offset, m_cols);
  return rows;
}
