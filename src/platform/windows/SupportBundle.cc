#include "platform/windows/SupportBundle.h"

#include <zlib.h>

#include <ctime>
#include <memory>

#include "platform/windows/RunFiles.h"
#include "platform/windows/StdStreams.h"
#include "platform/windows/Utf16.h"

namespace {

constexpr DWORD kLargestFile = 64 << 20;  // a run's files are far smaller
constexpr std::uint16_t kVersionNeeded = 20;  // deflate
constexpr std::uint16_t kUtf8Names = 0x0800;
constexpr std::uint16_t kDeflate = 8;

void Le16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void Le32(std::string& out, std::uint32_t v) {
  Le16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Le16(out, static_cast<std::uint16_t>(v >> 16));
}

// Raw deflate (no zlib header), as zip keeps it.
bool Deflate(const std::string& in, std::string& out) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out.resize(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return result == Z_STREAM_END;
}

class StateFolder : public observe::IStateFolder {
 public:
  explicit StateFolder(std::string dir) : m_dir(std::move(dir)) {}

  std::vector<std::string> Names() override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Widen(m_dir + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        names.push_back(Narrow(entry.cFileName));
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
  }

  std::optional<std::string> Read(const std::string& name) override {
    HANDLE file = CreateFileW(Widen(m_dir + "\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::unique_ptr<void, decltype(&CloseHandle)> closer(file, CloseHandle);
    // A plain file only, never what a link leads to.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) || info.nFileSizeHigh != 0 ||
        info.nFileSizeLow > kLargestFile) {
      return std::nullopt;
    }
    std::string bytes(info.nFileSizeLow, '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
      return std::nullopt;
    }
    return bytes;
  }

 private:
  std::string m_dir;
};

std::string DefaultName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  char name[64];
  std::strftime(name, sizeof name, "brickfix-support-%Y%m%d-%H%M%S.zip", &local);
  return name;
}

int Fail(const std::string& why) {
  WriteAllTo(OpenStdHandles().err, "brickfix: 无法写出支持信息包：" + why +
                                       "\nbrickfix: cannot write the support bundle: " + why + "\n");
  return 1;
}

std::string LastError(const std::string& path) { return path + ": error " + std::to_string(GetLastError()); }

}  // namespace

// What the local header and the central directory both say of an entry,
// from the version needed to the extra field's length.
void ZipArchive::Describe(std::string& out, const Entry& e) const {
  Le16(out, kVersionNeeded);
  Le16(out, kUtf8Names);
  Le16(out, kDeflate);
  Le16(out, m_time);
  Le16(out, m_date);
  Le32(out, e.crc);
  Le32(out, e.packed);
  Le32(out, e.size);
  Le16(out, static_cast<std::uint16_t>(e.name.size()));
  Le16(out, 0);  // no extra field
}

bool ZipArchive::Put(const std::string& bytes) {
  DWORD written = 0;
  if (m_failed || !WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    m_failed = true;
    return false;
  }
  m_offset += static_cast<std::uint32_t>(bytes.size());
  return true;
}

bool ZipArchive::Add(const std::string& name, const std::string& bytes) {
  if (m_entries.empty()) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    m_time = static_cast<std::uint16_t>(now.wHour << 11 | now.wMinute << 5 | now.wSecond / 2);
    m_date = static_cast<std::uint16_t>((now.wYear - 1980) << 9 | now.wMonth << 5 | now.wDay);
  }
  Entry entry;
  std::string packed;
  if (m_failed || name.size() > 0xFFFF || !Deflate(bytes, packed)) return false;
  entry.name = name;
  entry.crc = static_cast<std::uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  entry.packed = static_cast<std::uint32_t>(packed.size());
  entry.size = static_cast<std::uint32_t>(bytes.size());
  entry.offset = m_offset;
  std::string header;
  Le32(header, 0x04034b50);
  Describe(header, entry);
  if (!Put(header + name) || !Put(packed)) return false;
  m_entries.push_back(std::move(entry));
  return true;
}

bool ZipArchive::Close(std::string& error) {
  std::string directory;
  for (const Entry& e : m_entries) {
    Le32(directory, 0x02014b50);
    Le16(directory, kVersionNeeded);  // made by: MS-DOS attributes
    Describe(directory, e);
    Le16(directory, 0);  // comment
    Le16(directory, 0);  // disk
    Le16(directory, 0);  // internal attributes
    Le32(directory, 0);  // external attributes
    Le32(directory, e.offset);
    directory += e.name;
  }
  std::uint32_t start = m_offset;
  std::string end;
  Le32(end, 0x06054b50);
  Le16(end, 0);
  Le16(end, 0);
  Le16(end, static_cast<std::uint16_t>(m_entries.size()));
  Le16(end, static_cast<std::uint16_t>(m_entries.size()));
  Le32(end, static_cast<std::uint32_t>(directory.size()));
  Le32(end, start);
  Le16(end, 0);  // comment
  if (!Put(directory) || !Put(end) || !FlushFileBuffers(m_file)) {
    error = "the archive cannot be written (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

int WriteSupportBundleFile(const std::string& file, const std::string& stateDir, const std::string& version,
                           const observe::JournalNameOf& journalOf) {
  std::string path = file.empty() ? DefaultName() : file;
  if (stateDir.empty()) return Fail("no state folder (LOCALAPPDATA)");
  // Written beside the file and renamed into place: a failed bundle leaves
  // nothing.
  std::string temporary = path + ".tmp";
  HANDLE out = CreateFileW(Widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) return Fail(LastError(temporary));
  StateFolder folder(stateDir);
  ZipArchive archive(out);
  std::vector<std::string> added;
  std::string error;
  std::string about = version + "system: " + SystemDescription() + "\n";
  bool written = observe::WriteSupportBundle(folder, about, archive, added, error, journalOf);
  CloseHandle(out);
  if (!written || !MoveFileExW(Widen(temporary).c_str(), Widen(path).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (error.empty()) error = LastError(path);
    DeleteFileW(Widen(temporary).c_str());
    return Fail(error);
  }
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(Widen(path).c_str(), MAX_PATH, full, nullptr);
  if (n > 0 && n < MAX_PATH) path = Narrow({full, n});
  std::string report = "支持信息包已写入 " + path + "\nSupport bundle written to " + path + "\n";
  for (const std::string& name : added) report += "  " + name + "\n";
  WriteAllTo(OpenStdHandles().out, report);
  return 0;
}
