// The files a run leaves in the state folder beside its diagnostics: the
// timeline of what the observer saw and the capture of the recovery link.
// Each kind keeps the newest kKeep runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "observe/Events.h"
#include "observe/Timeline.h"
#include "platform/linux/ScopedFd.h"

constexpr int kRunFilesKept = 10;  // per kind, this run's included

// What this run's files have in their names: "YYYYMMDD-HHMMSS-PID", the
// local time of the first call.
const std::string& RunStamp();

// Removes the oldest files of `dir` whose names are `prefix` + anything +
// `suffix`, so that `keep` stay. The names sort by time.
void PruneRunFiles(const std::string& dir, const std::string& prefix, const std::string& suffix,
                   std::size_t keep);

// "timeline-<stamp>.jsonl", written a line at a time (each line whole, so a
// crash loses no more than the line being written).
class TimelineFile : public observe::ITimelineSink {
 public:
  // False, and lines are dropped, without a usable folder.
  bool Open(const std::string& dir);
  void Write(const std::string& line) override;
  std::string Path() const { return m_path; }

 private:
  ScopedFd m_fd;
  std::string m_path;
};

// Replaces `path` with `bytes` through a temporary file and a rename, so a
// reader finds the old file or the new one, never half of it.
bool ReplaceFile(const std::string& path, const std::string& bytes);

// The path of this run's capture in `dir` ("capture-<stamp>.pcapng").
std::string CapturePath(const std::string& dir);

// Who holds UDP `port` in this network namespace (IPv4 or IPv6), from
// /proc: nothing when no socket is bound to it; the program's name and pid
// when this process may look at the holder's descriptors, else the user
// that owns the socket.
std::optional<observe::PortHolder> FindUdpPortHolder(std::uint16_t port);
