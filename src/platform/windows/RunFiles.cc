#include "platform/windows/RunFiles.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/windows/Utf16.h"

namespace {

constexpr const char* kTimelinePrefix = "timeline-";
constexpr const char* kTimelineSuffix = ".jsonl";
constexpr const char* kDiagnosticsPrefix = "diagnostics-";
constexpr const char* kDiagnosticsSuffix = ".log";

std::mutex g_diagnosticsMutex;
DiagnosticsFile* g_diagnostics = nullptr;  // the one that has taken them over

// A new file of this run, never one that is there already.
HANDLE CreateNew(const std::string& path, DWORD access) {
  return CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

const std::string& RunStamp() {
  static const std::string stamp = [] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return std::string(text) + "-" + std::to_string(GetCurrentProcessId());
  }();
  return stamp;
}

void PruneRunFiles(const std::string& dir, const std::string& prefix, const std::string& suffix, std::size_t keep) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(Widen(dir + "\\" + prefix + "*" + suffix).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = Narrow(entry.cFileName);
    // The pattern also takes longer suffixes ("*.log" matches "x.logx").
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() > prefix.size() + suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  if (names.size() <= keep) return;
  std::sort(names.begin(), names.end());
  for (std::size_t i = 0; i + keep < names.size(); ++i) DeleteFileW(Widen(dir + "\\" + names[i]).c_str());
}

bool MakeStateFolder(const std::string& dir) {
  if (dir.empty()) return false;
  if (CreateDirectoryW(Widen(dir).c_str(), nullptr)) return true;
  DWORD attributes = GetFileAttributesW(Widen(dir).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TimelineFile::~TimelineFile() {
  if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

bool TimelineFile::Open(const std::string& dir) {
  if (!MakeStateFolder(dir)) return false;
  PruneRunFiles(dir, kTimelinePrefix, kTimelineSuffix, kRunFilesKept - 1);
  m_file = CreateNew(dir + "\\" + kTimelinePrefix + RunStamp() + kTimelineSuffix, FILE_APPEND_DATA);
  return m_file != INVALID_HANDLE_VALUE;
}

void TimelineFile::Write(const std::string& line) {
  DWORD written = 0;
  if (m_file != INVALID_HANDLE_VALUE) WriteFile(m_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

DiagnosticsFile::~DiagnosticsFile() {
  Release();
  if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

bool DiagnosticsFile::Open(const std::string& dir) {
  if (!MakeStateFolder(dir)) return false;
  PruneRunFiles(dir, kDiagnosticsPrefix, kDiagnosticsSuffix, kRunFilesKept - 1);
  std::string path = dir + "\\" + kDiagnosticsPrefix + RunStamp() + kDiagnosticsSuffix;
  m_file = CreateNew(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES);
  if (m_file == INVALID_HANDLE_VALUE) return false;
  m_path = path;
  return true;
}

void DiagnosticsFile::Capture(bool /*alsoStdout*/) {
  std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
  if (m_file != INVALID_HANDLE_VALUE) g_diagnostics = this;
}

void DiagnosticsFile::Release() {
  std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
  if (g_diagnostics == this) g_diagnostics = nullptr;
}

void DiagnosticsFile::Write(std::string_view text) {
  DWORD written = 0;
  WriteFile(m_file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool DiagnosticsFile::Written() const {
  LARGE_INTEGER size{};
  return m_file != INVALID_HANDLE_VALUE && GetFileSizeEx(m_file, &size) && size.QuadPart > 0;
}

void DiagnosticsFile::RemoveIfEmpty() {
  if (m_path.empty() || Written()) return;
  Release();
  CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
  DeleteFileW(Widen(m_path).c_str());
  m_path.clear();
}

void WriteDiagnostics(std::string_view text) {
  std::lock_guard<std::mutex> lock(g_diagnosticsMutex);
  if (g_diagnostics) {
    g_diagnostics->Write(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string SystemDescription() {
  std::string text = "Windows";
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersionFn = const char*(CDECL*)();
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  auto getVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion"))) : nullptr;
  if (getVersion && getVersion(&version) == 0) {
    text += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
            std::to_string(version.dwBuildNumber);
  }
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: text += " x64"; break;
    case PROCESSOR_ARCHITECTURE_ARM64: text += " arm64"; break;
    case PROCESSOR_ARCHITECTURE_INTEL: text += " x86"; break;
    default: break;
  }
  // Wine says so through its own export of ntdll.
  auto wine = ntdll ? reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))) : nullptr;
  if (wine && wine()) text += std::string(", Wine ") + wine();
  return text;
}
