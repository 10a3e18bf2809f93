// The store's file operations with the Win32 file API. Names are UTF-8 in
// the program and UTF-16 here; "/" and "\" both separate folders.
#include "firmware/StoreIo.h"

#include "platform/windows/Win32.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/windows/Utf16.h"

namespace {

// The most one ReadFile or WriteFile call is asked for.
constexpr std::size_t kMaxIo = 1u << 30;

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool IsReservedDeviceName(std::string base) {
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

unsigned char* NewImageBlock(std::size_t size) { return new (std::nothrow) unsigned char[size]; }

bool IsFileNameAllowed(const std::string& name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;  // Windows would cut them off
  if (name.find_first_of("<>:\"|?*") != std::string::npos) return false;       // ':' names a stream
  return !IsReservedDeviceName(name.substr(0, name.find('.')));
}

std::vector<std::string> ListRegularFiles(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileExW(Widen(dir + "\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return names;
  // Folders, devices, and files that Windows hides (the hidden or system
  // attribute) are not the store's.
  constexpr DWORD kNotOurs =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if (!(entry.dwFileAttributes & kNotOurs)) names.push_back(Narrow(entry.cFileName));
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

bool PathExists(const std::string& path) { return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RemoveFile(const std::string& path) { return DeleteFileW(Widen(path).c_str()) != 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         0;
}

bool MakeDirectory(const std::string& path) { return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0; }

void RemoveEmptyDirectory(const std::string& path) { RemoveDirectoryW(Widen(path).c_str()); }

// A rename with MOVEFILE_WRITE_THROUGH is on disk when it returns; the
// folder needs nothing more.
void SyncDirectory(const std::string&) {}

StoreFile::~StoreFile() { Close(); }

bool StoreFile::OpenForReading(const std::string& path) {
  Close();
  HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file != INVALID_HANDLE_VALUE) m_handle = reinterpret_cast<std::intptr_t>(file);
  return IsOpen();
}

bool StoreFile::CreateNew(const std::string& path) {
  Close();
  HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file != INVALID_HANDLE_VALUE) m_handle = reinterpret_cast<std::intptr_t>(file);
  m_written = 0;
  return IsOpen();
}

std::int64_t StoreFile::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(H(m_handle), &size)) return -1;
  return size.QuadPart;
}

bool StoreFile::ReadFull(void* data, std::size_t size) {
  auto* p = static_cast<unsigned char*>(data);
  while (IsOpen() && size > 0) {
    DWORD got = 0;
    if (!ReadFile(H(m_handle), p, static_cast<DWORD>(std::min(size, kMaxIo)), &got, nullptr) || got == 0) {
      return false;
    }
    p += got;
    size -= got;
  }
  return IsOpen();
}

bool StoreFile::Write(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (IsOpen() && size > 0) {
    DWORD put = 0;
    if (!WriteFile(H(m_handle), p, static_cast<DWORD>(std::min(size, kMaxIo)), &put, nullptr) || put == 0) {
      return false;
    }
    p += put;
    size -= put;
    m_written += put;
  }
  return IsOpen();
}

bool StoreFile::Sync() { return IsOpen() && FlushFileBuffers(H(m_handle)) != 0; }

bool StoreFile::Close() {
  if (!IsOpen()) return true;
  bool ok = CloseHandle(H(m_handle)) != 0;
  m_handle = kNoHandle;
  return ok;
}
