// A diagnostics file per run in the state folder: what libraries and the
// commands we run write to standard error goes there instead of the log.
#pragma once

#include <string>

#include "console/Frontend.h"
#include "platform/linux/ScopedFd.h"

class DiagnosticsFile : public IDiagnosticsSink {
 public:
  static constexpr int kKeep = 10;  // files kept, this run's included (kRunFilesKept)

  // Creates "diagnostics-YYYYMMDD-HHMMSS-PID.log" in `dir` and removes the
  // oldest files so that the newest kKeep stay. Without a usable folder the
  // diagnostics are dropped (/dev/null). False in that case.
  bool Open(const std::string& dir);

  void Capture(bool alsoStdout) override;
  void Release() override;
  std::string Path() const override { return m_path; }
  bool Written() const override;

  // At the end of a run: a file nothing was written to is not kept.
  void RemoveIfEmpty();

 private:
  ScopedFd m_fd;
  std::string m_path;
  int m_savedOut = -1;
  int m_savedErr = -1;
};
