// The run's timeline as JSON Lines: one object per event, with at least its
// time in seconds since the run's start ("t") and its name ("event"); a
// diagnosis adds its "cause" and "detail".
#pragma once

#include <string>
#include <string_view>

#include "observe/Diagnosis.h"
#include "observe/Events.h"

namespace observe {

// The line of `event`, ending in "\n".
std::string TimelineLine(const Event& event);
std::string TimelineLine(const Diagnosis& diagnosis);

// `text` as a JSON string with its quotes; bytes that are not UTF-8 and
// control characters show as U+FFFD.
std::string JsonString(std::string_view text);

// Where the lines go (a file of the state folder on Linux).
class ITimelineSink {
 public:
  virtual ~ITimelineSink() = default;
  virtual void Write(const std::string& line) = 0;
};

}  // namespace observe
