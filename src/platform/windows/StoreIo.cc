// The store's file operations with the Win32 file API. Names are UTF-8 in
// the program and UTF-16 here; "/" and "\" both separate folders. Every
// operation opens the store's folder, refuses it when it is a link or a
// junction, and works relative to that handle.
#include "firmware/StoreIo.h"

#include "platform/windows/Win32.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

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

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : m_h(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) CloseHandle(m_h);
  }
  bool valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
  HANDLE get() const { return m_h; }
  HANDLE Release() { return std::exchange(m_h, INVALID_HANDLE_VALUE); }

 private:
  HANDLE m_h;
};

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

// FILE_RENAME_INFORMATION, which the headers lack.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

// A folder of the store, opened once for what is done in it, and never one
// that is a link or a junction (whose target could be any folder). Windows
// tells that of the folder's own handle; Wine, of its name.
class Folder {
 public:
  explicit Folder(const std::string& dir, DWORD access = 0)
      : m_handle(INVALID_HANDLE_VALUE) {
    std::wstring name = Widen(dir.empty() ? "." : dir);
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return;
    }
    ScopedHandle folder(CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE | access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (folder.valid() && GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      m_handle.reset(folder.Release());
    }
  }
  bool valid() const { return m_handle.get() != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return m_handle.get(); }

 private:
  struct Closer {
    using pointer = HANDLE;
    void operator()(HANDLE h) const {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  };
  std::unique_ptr<void, Closer> m_handle;
};

// A path as its folder, opened as above, and its last name; what is done
// with the name is done relative to the folder's handle, and a link of that
// name is itself what is opened, never what it leads to.
struct InFolder {
  explicit InFolder(const std::string& path) : InFolder(path, path.find_last_of("/\\")) {}
  InFolder(const std::string& path, std::size_t slash)
      : folder(slash == std::string::npos ? "" : path.substr(0, slash)),
        name(Widen(slash == std::string::npos ? path : path.substr(slash + 1))) {}
  bool valid() const { return folder.valid() && !name.empty(); }
  // NtCreateFile relative to the folder: INVALID_HANDLE_VALUE on failure,
  // with the status in `status` when asked.
  HANDLE Open(ACCESS_MASK access, ULONG disposition, ULONG options, NTSTATUS* status = nullptr) const {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(name.size() * sizeof(wchar_t)), const_cast<wchar_t*>(name.data())};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder.get(), nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE file = INVALID_HANDLE_VALUE;
    NTSTATUS result = NtCreateFile(&file, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status) *status = result;
    return result >= 0 ? file : INVALID_HANDLE_VALUE;
  }
  Folder folder;
  std::wstring name;
};

}  // namespace

unsigned char* NewImageBlock(std::size_t size) { return new (std::nothrow) unsigned char[size]; }

bool IsFileNameAllowed(const std::string& name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;  // Windows would cut them off
  if (name.find_first_of("<>:\"|?*") != std::string::npos) return false;       // ':' names a stream
  return !IsReservedDeviceName(name.substr(0, name.find('.')));
}

std::vector<std::string> ListRegularFiles(const std::string& dir) {
  std::vector<std::string> names;
  Folder folder(dir);
  if (!folder.valid()) return names;
  // Folders, devices, links and junctions, and files that Windows hides (the
  // hidden or system attribute) are not the store's.
  constexpr DWORD kNotOurs = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
  std::vector<std::uint64_t> buffer(8192);
  for (auto kind = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder.get(), kind, buffer.data(), static_cast<DWORD>(buffer.size() * 8));
       kind = FileIdBothDirectoryInfo) {
    auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());
    for (;;) {
      if (!(entry->FileAttributes & kNotOurs)) {
        names.push_back(Narrow({entry->FileName, entry->FileNameLength / sizeof(wchar_t)}));
      }
      if (entry->NextEntryOffset == 0) break;
      entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<const char*>(entry) +
                                                              entry->NextEntryOffset);
    }
  }
  return names;
}

bool PathExists(const std::string& path) {
  InFolder at(path);
  if (!at.valid()) return false;
  NTSTATUS status = 0;
  ScopedHandle file(at.Open(FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &status));
  // Something that cannot be opened (in use, not ours to read) is there all the same.
  return file.valid() || (status != kNameNotFound && status != kPathNotFound);
}

bool RemoveFile(const std::string& path) {
  InFolder at(path);
  ScopedHandle file(at.valid() ? at.Open(DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE) : INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO remove{TRUE};
  return file.valid() && SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof remove);
}

bool RenameFile(const std::string& from, const std::string& to) {
  InFolder source(from), target(to);
  if (!source.valid() || !target.valid()) return false;
  ScopedHandle file(source.Open(DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE));
  if (!file.valid()) return false;
  // The new name, in the target's folder as it was opened: a link put in its
  // place meanwhile leads nowhere.
  std::vector<std::uint64_t> buffer((sizeof(RenameInformation) + target.name.size() * sizeof(wchar_t)) / 8 + 1);
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replaceIfExists = TRUE;
  rename->rootDirectory = target.folder.get();
  rename->fileNameLength = static_cast<ULONG>(target.name.size() * sizeof(wchar_t));
  std::memcpy(rename->fileName, target.name.data(), rename->fileNameLength);
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(file.get(), &io, rename, static_cast<ULONG>(buffer.size() * 8),
                              kFileRenameInformation) >= 0;
}

bool MakeDirectory(const std::string& path) { return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0; }

void RemoveEmptyDirectory(const std::string& path) {
  // Never through a link: what it leads to is not the store's.
  if (Folder(path).valid()) RemoveDirectoryW(Widen(path).c_str());
}

void SyncDirectory(const std::string& path) {
  // Best effort: the file system may not flush a folder.
  if (Folder folder(path, GENERIC_WRITE); folder.valid()) FlushFileBuffers(folder.get());
}

StoreFile::~StoreFile() { Close(); }

bool StoreFile::OpenForReading(const std::string& path) {
  Close();
  InFolder at(path);
  if (!at.valid()) return false;
  ScopedHandle file(at.Open(GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  // A link or a junction is no image, even one that leads to a file.
  if (!file.valid() || !GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
      (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    return false;
  }
  m_handle = reinterpret_cast<std::intptr_t>(file.Release());
  return true;
}

bool StoreFile::CreateNew(const std::string& path) {
  Close();
  m_written = 0;
  InFolder at(path);
  if (!at.valid()) return false;
  HANDLE file = at.Open(GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
  if (file != INVALID_HANDLE_VALUE) m_handle = reinterpret_cast<std::intptr_t>(file);
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
