#include "console/LogBuffer.h"

LogBuffer::LogBuffer(std::size_t maxLines) : m_maxLines(maxLines ? maxLines : 1) { Clear(); }

void LogBuffer::Append(std::string_view text) {
  for (char c : text) {
    if (c == '\r') {
      m_bPendingCr = true;
      continue;
    }
    if (c == '\n') {
      m_bPendingCr = false;
      m_lines.emplace_back();
      continue;
    }
    m_bPendingCr = false;  // a lone CR is dropped
    m_lines.back().push_back(c);
  }
  Trim();
}

void LogBuffer::Clear() {
  m_lines.clear();
  m_lines.emplace_back();
  m_dropped = 0;
  m_bPendingCr = false;
}

std::string LogBuffer::Text() const {
  std::string out;
  for (std::size_t i = 0; i < m_lines.size(); ++i) {
    if (i) out += "\r\n";
    out += m_lines[i];
  }
  return out;
}

void LogBuffer::Trim() {
  while (m_lines.size() > m_maxLines) {
    m_lines.pop_front();
    ++m_dropped;
  }
}
