// The files a run leaves in the state folder (%LOCALAPPDATA%\Brickfix,
// beside the adapters' journals): its diagnostics (what libraries write to
// standard error) and its timeline, each kind kept for the newest
// kRunFilesKept runs, as on Linux.
#pragma once

#include <string>

#include "console/Frontend.h"
#include "observe/Timeline.h"
#include "platform/windows/Win32.h"

constexpr int kRunFilesKept = 10;  // per kind, this run's included

// What this run's files have in their names: "YYYYMMDD-HHMMSS-PID", the
// local time of the first call.
const std::string& RunStamp();

// Removes the oldest files of `dir` named `prefix` + anything + `suffix`, so
// that `keep` stay. The names sort by time.
void PruneRunFiles(const std::string& dir, const std::string& prefix, const std::string& suffix, std::size_t keep);

// Makes `dir` when it is not there; false when it is not a folder then.
bool MakeStateFolder(const std::string& dir);

// "timeline-<stamp>.jsonl", each line written whole at once.
class TimelineFile : public observe::ITimelineSink {
 public:
  ~TimelineFile() override;
  // False, and lines are dropped, without a usable folder.
  bool Open(const std::string& dir);
  void Write(const std::string& line) override;

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
};

// "diagnostics-<stamp>.log": what WriteDiagnostics is given goes there
// while a frontend runs (a window program has nowhere else to show it).
class DiagnosticsFile : public IDiagnosticsSink {
 public:
  ~DiagnosticsFile() override;
  // False, and diagnostics stay where they were, without a usable folder.
  bool Open(const std::string& dir);
  void Capture(bool alsoStdout) override;
  void Release() override;
  std::string Path() const override { return m_path; }
  bool Written() const override;
  // At the end of a run: a file nothing was written to is not kept.
  void RemoveIfEmpty();
  void Write(std::string_view text);

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::string m_path;
};

// A diagnostic of the program's system parts (an HTTP error): to the
// diagnostics file that has taken them over, else to standard error.
// Standard error itself is left alone: the line mode and the end of the run
// write to its handle. Any thread.
void WriteDiagnostics(std::string_view text);

// The system for the operator's helper: "Windows 10.0.19045 x64", and Wine's
// version where Wine runs the program.
std::string SystemDescription();
