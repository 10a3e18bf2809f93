#include "ui/AnswerBox.h"

#include "console/Text.h"
#include "ui/TextCells.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

// Bytes of the sequence that `lead` starts, or 0 when it cannot start one.
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

std::size_t PreviousBoundary(const std::string& text, std::size_t pos) {
  if (pos == 0) return 0;
  do --pos;
  while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80);
  return pos;
}

std::size_t NextBoundary(const std::string& text, std::size_t pos) {
  if (pos >= text.size()) return text.size();
  do ++pos;
  while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80);
  return pos;
}

}  // namespace

void AnswerBox::Type(unsigned char byte) {
  if (!m_pending.empty()) {
    if ((byte & 0xC0) == 0x80) {
      m_pending.push_back(static_cast<char>(byte));
      if (m_pending.size() < m_expected) return;
      std::string character = std::move(m_pending);
      m_pending.clear();
      // Overlong forms, surrogates and C1 controls do not survive this.
      if (SanitizeForDisplay(character) == character) Insert(character);
      else Insert(kReplacement);
      return;
    }
    FlushPending();
  }
  if (byte < 0x20 || byte == 0x7F) return;
  if (byte < 0x80) {
    char c = static_cast<char>(byte);
    Insert(std::string_view(&c, 1));
    return;
  }
  m_expected = SequenceLength(byte);
  if (m_expected == 0) {
    Insert(kReplacement);
    return;
  }
  m_pending.push_back(static_cast<char>(byte));
}

void AnswerBox::FlushPending() {
  if (m_pending.empty()) return;
  m_pending.clear();
  Insert(kReplacement);
}

bool AnswerBox::ReplaceSelection() {
  if (!m_bSelected) return false;
  m_bSelected = false;
  m_text.clear();
  m_cursor = 0;
  return true;
}

void AnswerBox::Insert(std::string_view character) {
  ReplaceSelection();
  if (m_text.size() + character.size() > kMaxBytes) return;
  m_text.insert(m_cursor, character);
  m_cursor += character.size();
}

void AnswerBox::Backspace() {
  FlushPending();
  if (ReplaceSelection()) return;
  std::size_t from = PreviousBoundary(m_text, m_cursor);
  m_text.erase(from, m_cursor - from);
  m_cursor = from;
}

void AnswerBox::Delete() {
  FlushPending();
  if (ReplaceSelection()) return;
  m_text.erase(m_cursor, NextBoundary(m_text, m_cursor) - m_cursor);
}

void AnswerBox::MoveLeft() {
  FlushPending();
  // Like an edit control: a selection collapses to its start.
  m_cursor = m_bSelected ? 0 : PreviousBoundary(m_text, m_cursor);
  Deselect();
}

void AnswerBox::MoveRight() {
  FlushPending();
  m_cursor = m_bSelected ? m_text.size() : NextBoundary(m_text, m_cursor);
  Deselect();
}

void AnswerBox::MoveHome() {
  FlushPending();
  Deselect();
  m_cursor = 0;
}

void AnswerBox::MoveEnd() {
  FlushPending();
  Deselect();
  m_cursor = m_text.size();
}

void AnswerBox::SelectAll() {
  FlushPending();
  m_bSelected = true;
  m_cursor = m_text.size();
}

void AnswerBox::Clear() {
  m_pending.clear();
  m_text.clear();
  m_cursor = 0;
  m_bSelected = false;
  m_scroll = 0;
}

AnswerBox::View AnswerBox::Visible(int width) {
  if (width < 1) return {std::string(), 0};
  int cursor = DisplayWidth(std::string_view(m_text).substr(0, m_cursor));
  if (DisplayWidth(m_text) < width) m_scroll = 0;  // everything fits again
  if (cursor < m_scroll) m_scroll = cursor;
  // The cursor needs a cell of its own after the last character.
  else if (cursor >= m_scroll + width) m_scroll = cursor - width + 1;
  return {CellSlice(m_text, m_scroll, width), cursor - m_scroll};
}
