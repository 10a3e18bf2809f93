// Downloading and verifying a firmware image (RomInfo::Download and
// RomInfo::SaveToRomDir are declared with the record).
#pragma once

#include <cstddef>
#include <string>

// The "#" progress marks of a download, one for every ten chunks received. The
// marks continue the console's last line; the 602nd chunk of a cycle prints a
// "#" as a line of its own, which ends the line, and the count starts again.
class DownloadProgress {
 public:
  void OnChunk();

 private:
  int m_nChunks = 0;
};

// The MD5 digest of `size` bytes as 32 lower-case hexadecimal characters.
std::string Md5Hex(const unsigned char* data, std::size_t size);
