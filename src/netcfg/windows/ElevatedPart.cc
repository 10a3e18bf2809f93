#include "netcfg/windows/ElevatedPart.h"

#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>

#include <memory>
#include <random>

#include "app/TestTiming.h"
#include "netcfg/windows/ElevatedService.h"
#include "netcfg/windows/WinNetOps.h"
#include "platform/windows/Utf16.h"

const char* const kElevationDeclined = "the operator declined the elevation prompt";

namespace {

constexpr wchar_t kPipePrefix[] = L"\\\\.\\pipe\\brickfix-net-";
constexpr DWORD kConnectMs = 60000;  // the prompt has been answered before the wait begins
constexpr DWORD kBufferSize = helper::kMaxMessage + 1;

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};

// The SID of the logon session this process belongs to, as text ("" when the
// token holds none).
std::wstring LogonSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::unique_ptr<std::uint64_t[]> buffer(new std::uint64_t[size / sizeof(std::uint64_t) + 1]);
  auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.get());
  std::wstring sid;
  if (size > 0 && GetTokenInformation(token, TokenGroups, groups, size, &size)) {
    for (DWORD i = 0; i < groups->GroupCount && sid.empty(); ++i) {
      if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) != SE_GROUP_LOGON_ID) continue;
      wchar_t* text = nullptr;
      if (ConvertSidToStringSidW(groups->Groups[i].Sid, &text)) {
        sid = text;
        LocalFree(text);
      }
    }
  }
  CloseHandle(token);
  return sid;
}

std::wstring RandomHex(int digits) {
  std::random_device random;
  std::wstring out;
  for (int i = 0; i < digits; ++i) out += L"0123456789abcdef"[random() % 16];
  return out;
}

// "\\.\pipe\brickfix-net-PID-HEX16" and nothing else.
bool IsOurPipeName(const std::wstring& name) {
  std::wstring prefix = kPipePrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  std::wstring rest = name.substr(prefix.size());
  std::size_t dash = rest.find(L'-');
  if (dash == 0 || dash == std::wstring::npos || dash > 10 || rest.size() - dash - 1 != 16) return false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    wchar_t c = rest[i];
    bool ok = i < dash ? (c >= L'0' && c <= L'9') : i == dash || (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
    if (!ok) return false;
  }
  return true;
}

// Waits for an overlapped operation on `file`, or for `process` to end.
bool Finish(HANDLE file, OVERLAPPED& op, BOOL started, HANDLE process, DWORD ms, DWORD& bytes) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  HANDLE waits[] = {op.hEvent, process};
  if (WaitForMultipleObjects(2, waits, FALSE, ms) != WAIT_OBJECT_0) {
    CancelIoEx(file, &op);
    GetOverlappedResult(file, &op, &bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(file, &op, &bytes, FALSE) != 0;
}

std::wstring OwnProgram() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n < path.size() ? n : 0);
  return path;
}

}  // namespace

ElevatedPart::ElevatedPart(std::wstring program)
    : m_program(program.empty() ? OwnProgram() : std::move(program)) {}

ElevatedPart::~ElevatedPart() { Close(); }

void ElevatedPart::Close() {
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  if (m_process) CloseHandle(m_process);
  if (m_event) CloseHandle(m_event);
  m_pipe = INVALID_HANDLE_VALUE;
  m_process = m_event = nullptr;
}

bool ElevatedPart::Start(std::string& why) {
  std::wstring logon = LogonSid();
  // The user's logon session, and administrators (whose elevated token an
  // operator without rights of his own may have typed in at the prompt).
  std::wstring sddl = L"D:P(A;;GA;;;BA)";
  if (!logon.empty()) sddl += L"(A;;GA;;;" + logon + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    why = "no security descriptor for the pipe";
    return false;
  }
  std::unique_ptr<void, LocalFreer> owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  std::wstring name = kPipePrefix + std::to_wstring(GetCurrentProcessId()) + L"-" + RandomHex(16);
  m_pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            kBufferSize, kBufferSize, 0, &attributes);
  m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_pipe == INVALID_HANDLE_VALUE || !m_event) {
    why = "no pipe for the elevated part";
    return false;
  }
  // A test build can play an operator who says no.
  if (TestTimingBuild() && GetEnvironmentVariableW(L"BRICKFIX_TEST_DECLINE_ELEVATION", nullptr, 0) > 1) {
    why = kElevationDeclined;
    return false;
  }
  std::wstring parameters = Widen(kElevatedFlag) + L" " + name;
  std::wstring folder = SystemDirectory();
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  run.lpVerb = L"runas";
  run.lpFile = m_program.c_str();
  run.lpParameters = parameters.c_str();
  run.lpDirectory = folder.c_str();
  run.nShow = SW_HIDE;
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  BOOL started = ShellExecuteExW(&run);
  DWORD error = GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (!started || !run.hProcess) {
    why = started || error != ERROR_CANCELLED ? "the elevated part could not be started (" + std::to_string(error) + ")"
                                              : kElevationDeclined;
    return false;
  }
  m_process = run.hProcess;
  OVERLAPPED op{};
  op.hEvent = m_event;
  DWORD bytes = 0;
  BOOL connected = ConnectNamedPipe(m_pipe, &op);
  if (!connected && GetLastError() != ERROR_PIPE_CONNECTED &&
      !Finish(m_pipe, op, FALSE, m_process, kConnectMs, bytes)) {
    why = "the elevated part did not connect";
    return false;
  }
  // Only the process started here may answer.
  ULONG client = 0;
  if (!GetNamedPipeClientProcessId(m_pipe, &client) || client != GetProcessId(m_process)) {
    why = "another process connected in place of the elevated part";
    return false;
  }
  helper::Request status;
  std::vector<std::uint8_t> answer;
  std::optional<helper::Reply> reply;
  if (!Exchange(helper::EncodeRequest(status), answer) || !(reply = helper::DecodeReply(answer)) ||
      !reply->rights.netAdmin) {
    why = "the elevated part holds no administrator rights";
    return false;
  }
  return true;
}

bool ElevatedPart::Exchange(const std::vector<std::uint8_t>& message, std::vector<std::uint8_t>& answer) {
  OVERLAPPED op{};
  op.hEvent = m_event;
  DWORD bytes = 0;
  BOOL done = WriteFile(m_pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &op);
  if (!(done ? GetOverlappedResult(m_pipe, &op, &bytes, TRUE) : Finish(m_pipe, op, FALSE, m_process, INFINITE, bytes)) ||
      bytes != message.size()) {
    return false;
  }
  answer.assign(kBufferSize, 0);
  op = OVERLAPPED{};
  op.hEvent = m_event;
  done = ReadFile(m_pipe, answer.data(), kBufferSize, nullptr, &op);
  if (!(done ? GetOverlappedResult(m_pipe, &op, &bytes, TRUE) : Finish(m_pipe, op, FALSE, m_process, INFINITE, bytes))) {
    return false;
  }
  answer.resize(bytes);
  return true;
}

bool ElevatedPart::Ask(const helper::Request& request, helper::Reply& reply, std::string& why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_failed.empty() && m_pipe == INVALID_HANDLE_VALUE && !Start(m_failed)) Close();
  if (!m_failed.empty()) {
    why = m_failed;
    return false;
  }
  std::vector<std::uint8_t> message = helper::EncodeRequest(request), answer;
  std::optional<helper::Reply> decoded;
  if (message.empty()) {
    why = "a request outside what the elevated part takes";
    return false;
  }
  if (!Exchange(message, answer) || !(decoded = helper::DecodeReply(answer))) {
    m_failed = why = "the elevated part has gone";
    Close();
    return false;
  }
  reply = std::move(*decoded);
  return true;
}

int ServeElevated(const std::wstring& pipeName) {
  if (!IsOurPipeName(pipeName)) return 2;
  // Nothing of the folder it was started in is ever looked at.
  SetCurrentDirectoryW(SystemDirectory().c_str());
  HANDLE pipe = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  helper::SystemNet system;
  helper::WinService service(system);
  std::vector<std::uint8_t> buffer(kBufferSize);
  for (;;) {
    DWORD got = 0;
    std::vector<std::uint8_t> reply;
    if (ReadFile(pipe, buffer.data(), kBufferSize, &got, nullptr)) {
      reply = service.Handle({buffer.data(), got});
    } else if (GetLastError() == ERROR_MORE_DATA) {
      // Too long for any request: the rest is read and the whole refused.
      while (!ReadFile(pipe, buffer.data(), kBufferSize, &got, nullptr) && GetLastError() == ERROR_MORE_DATA) {
      }
      reply = service.Handle({});
    } else {
      break;  // the program has gone
    }
    DWORD put = 0;
    if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &put, nullptr)) break;
  }
  CloseHandle(pipe);
  return 0;
}
