// The log's text as lines, for frontends that draw it themselves.
// Appends go to the end; "\r\n" (or a lone "\n") ends a line; the number of
// lines is capped and the oldest drop off.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

class LogBuffer {
 public:
  static constexpr std::size_t kDefaultMaxLines = 10000;

  explicit LogBuffer(std::size_t maxLines = kDefaultMaxLines);

  void Append(std::string_view text);
  void Clear();

  // Lines, the last one possibly unfinished (it is where the next append goes).
  // An empty log has one empty line.
  const std::deque<std::string>& Lines() const { return m_lines; }
  std::size_t LineCount() const { return m_lines.size(); }
  // Everything as one text with "\r\n" line ends.
  std::string Text() const;
  // Counts every line that dropped off the top since the last Clear().
  std::size_t Dropped() const { return m_dropped; }

 private:
  void Trim();

  std::size_t m_maxLines;
  std::deque<std::string> m_lines;
  std::size_t m_dropped = 0;
  bool m_bPendingCr = false;
};
