// What the firmware store and the download need from the system: the memory
// block an image lives in and a few file operations. Each system has its own
// implementation (src/platform/<system>/StoreIo.cc); the code above them is
// the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A block for an image of `size` bytes, uninitialised, allocated with new[]
// (so it is freed with delete[]); nullptr without memory. Where the system
// can, the block is backed by large pages, so that filling it costs few page
// faults.
unsigned char* NewImageBlock(std::size_t size);

// True when the system takes `name` (no folder separator, no control
// character: the store has checked those) as a file name as it is. Windows
// refuses some characters and device names, and cuts off a final dot or
// space.
bool IsFileNameAllowed(const std::string& name);

// On Linux the folders of the store are never reached through a link, and
// a path's last name is never followed when it is one.
//
// The names of the regular files in `dir` (those beginning with "." too;
// links are not regular files), in no particular order; empty when the
// folder cannot be read. Files that Windows hides (hidden or system
// attribute) are not regular files there.
std::vector<std::string> ListRegularFiles(const std::string& dir);
// True when anything exists at `path`.
bool PathExists(const std::string& path);
bool RemoveFile(const std::string& path);
// Renames a file, replacing whatever file `to` named.
bool RenameFile(const std::string& from, const std::string& to);
// True when the folder was created by this call.
bool MakeDirectory(const std::string& path);
// Removes the folder when it is empty.
void RemoveEmptyDirectory(const std::string& path);
// Makes the folder's entries durable (best effort).
void SyncDirectory(const std::string& path);

// One open file of the store. Closed when it goes away.
class StoreFile {
 public:
  StoreFile() = default;
  ~StoreFile();
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  // Opens a regular file; anything else (a link, a folder, a device) fails.
  bool OpenForReading(const std::string& path);
  // Creates a new file for writing; fails when `path` exists.
  bool CreateNew(const std::string& path);
  bool IsOpen() const { return m_handle != kNoHandle; }
  // The length of the open file, or -1.
  std::int64_t Size() const;
  // Reads exactly `size` bytes; false on an error or an early end.
  bool ReadFull(void* data, std::size_t size);
  // Appends the whole block; false on any failure, a full disk included.
  // The system may start writing the data out at once, so that Sync has
  // less left to do.
  bool Write(const void* data, std::size_t size);
  // Makes the written data durable.
  bool Sync();
  // Closes the file; false when the system reports a failure.
  bool Close();

 private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t m_handle = kNoHandle;  // a descriptor or a handle, per system
  std::uint64_t m_written = 0;
};
