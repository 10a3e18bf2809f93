// brickfix.exe --support-bundle [FILE]: one zip of the latest run in the
// state folder (timeline, diagnostics, the adapter's journal, the version
// and the system), for whoever helps the operator.
#pragma once

#include <string>
#include <vector>

#include "observe/Bundle.h"
#include "platform/windows/Win32.h"

// A zip archive (deflate, through zlib) written to an open file.
class ZipArchive : public observe::IBundleArchive {
 public:
  explicit ZipArchive(HANDLE file) : m_file(file) {}
  bool Add(const std::string& name, const std::string& bytes) override;
  bool Close(std::string& error) override;

 private:
  struct Entry {
    std::string name;
    std::uint32_t crc = 0;
    std::uint32_t packed = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
  };
  void Describe(std::string& out, const Entry& e) const;
  bool Put(const std::string& bytes);

  HANDLE m_file;
  std::vector<Entry> m_entries;
  std::uint32_t m_offset = 0;
  bool m_failed = false;
  std::uint16_t m_time = 0;
  std::uint16_t m_date = 0;
};

// Writes the bundle of the latest run in `stateDir` to `file` (by default
// brickfix-support-<time>.zip in the working directory) and says where it
// is on standard output; why not, on standard error. `version` is the
// program's version line; `journalOf` names the chosen adapter's journal.
// Returns the exit status: 0 when written, 1 otherwise.
int WriteSupportBundleFile(const std::string& file, const std::string& stateDir, const std::string& version,
                           const observe::JournalNameOf& journalOf);
