#include "netcfg/windows/WinNetOps.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "netcfg/EchoPacket.h"
#include "platform/windows/Utf16.h"

namespace {

constexpr DWORD kReplyWaitMicroseconds = 300000;
constexpr std::size_t kReplyBufferSize = 128;

// A block for the adapter records, aligned for them.
class AdapterBuffer {
 public:
  explicit AdapterBuffer(ULONG size)
      : m_words(new std::uint64_t[(size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t)]()),
        m_size(size) {}
  PIP_ADAPTER_INFO get() const { return reinterpret_cast<PIP_ADAPTER_INFO>(m_words.get()); }
  ULONG size() const { return m_size; }

 private:
  std::unique_ptr<std::uint64_t[]> m_words;
  ULONG m_size;
};

std::string FirstAddress(const IP_ADAPTER_INFO& adapter) {
  std::string text(adapter.IpAddressList.IpAddress.String,
                   strnlen(adapter.IpAddressList.IpAddress.String,
                           sizeof adapter.IpAddressList.IpAddress.String));
  return text.empty() ? "0.0.0.0" : text;
}

// The first word of a command line: the program's name.
std::string ProgramName(const std::string& commandLine) {
  return commandLine.substr(0, commandLine.find(' '));
}

}  // namespace

bool ListAdapterRecords(GetAdaptersInfoFn call, std::vector<AdapterRecord>& out) {
  ULONG size = sizeof(IP_ADAPTER_INFO);
  auto buffer = std::make_unique<AdapterBuffer>(size);
  if (call(buffer->get(), &size) == ERROR_BUFFER_OVERFLOW) {
    buffer = std::make_unique<AdapterBuffer>(size);
  }
  size = buffer->size();
  if (call(buffer->get(), &size) != ERROR_SUCCESS) return false;
  out.clear();
  for (const IP_ADAPTER_INFO* adapter = buffer->get(); adapter; adapter = adapter->Next) {
    AdapterRecord record;
    record.id.assign(adapter->AdapterName, strnlen(adapter->AdapterName, sizeof adapter->AdapterName));
    record.type = static_cast<int>(adapter->Type);
    record.ipAddress = FirstAddress(*adapter);
    out.push_back(std::move(record));
  }
  return true;
}

std::wstring ConnectionKeyPath(std::string_view id) {
  return L"SYSTEM\\ControlSet001\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" +
         Widen(id) + L"\\Connection";
}

std::size_t Cp936Length(std::string_view name) {
  std::wstring wide = Widen(name);
  if (wide.empty()) return 0;
  int bytes = WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                  nullptr, nullptr);
  // Without the code page, count the most it could take: two bytes a unit.
  return bytes > 0 ? static_cast<std::size_t>(bytes) : wide.size() * 2;
}

bool ReadConnectionName(std::string_view id, std::size_t limit, std::string& name) {
  // An identifier that could leave its place in the key path is none.
  if (id.empty() || id.find('\\') != std::string_view::npos) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConnectionKeyPath(id).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD bytes = 0;
  LONG result = RegQueryValueExW(key, L"Name", nullptr, &type, nullptr, &bytes);
  std::wstring value;
  if (result == ERROR_SUCCESS && type == REG_SZ && bytes <= 4096) {
    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    result = RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                              &bytes);
    value.resize(result == ERROR_SUCCESS ? bytes / sizeof(wchar_t) : 0);
  } else {
    result = ERROR_INVALID_DATA;
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  // The stored text may or may not carry its terminator.
  if (std::size_t end = value.find(L'\0'); end != std::wstring::npos) value.resize(end);
  std::string utf8 = Narrow(value);
  if (Cp936Length(utf8) >= limit) return false;
  name = std::move(utf8);
  return true;
}

bool IsSafeConnectionName(std::string_view name) {
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::wstring SystemDirectory() {
  wchar_t path[MAX_PATH] = {};
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

bool RunHidden(const std::string& commandLine, const std::wstring& programDir) {
  std::string program = ProgramName(commandLine);
  if (programDir.empty() || program.empty() || program.find_first_of("\\/:.\"") != std::string::npos) {
    return false;
  }
  std::wstring application = programDir + L"\\" + Widen(program) + L".exe";
  std::wstring line = Widen(commandLine);  // CreateProcessW may write to it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool WinPingOnce(const char* address) {
  in_addr target{};
  if (!address || inet_pton(AF_INET, address, &target) != 1 || !StartWinsock()) return false;
  ScopedSocket sock(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
  if (!sock.valid()) return false;
  auto identifier = static_cast<std::uint16_t>(GetCurrentProcessId() & 0xffff);
  EchoRequest request = BuildEchoRequest(identifier);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = target;
  int sent = ::sendto(sock.get(), reinterpret_cast<const char*>(request.data()),
                      static_cast<int>(request.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to);
  if (sent < 1) return false;
  std::array<std::uint8_t, 4> source;
  std::memcpy(source.data(), &target, 4);
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock.get(), &readable);
    timeval wait{0, static_cast<long>(kReplyWaitMicroseconds)};
    int ready = ::select(0, &readable, nullptr, nullptr, &wait);
    if (ready <= 0) return false;
    if (!FD_ISSET(sock.get(), &readable)) continue;
    std::uint8_t reply[kReplyBufferSize] = {};
    int n = ::recv(sock.get(), reinterpret_cast<char*>(reply), sizeof reply, 0);
    if (n > 0 && IsEchoReplyFrom({reply, static_cast<std::size_t>(n)}, source, identifier)) return true;
  }
}

WinNetOps::WinNetOps(std::wstring programDir)
    : m_programDir(programDir.empty() ? SystemDirectory() : std::move(programDir)) {}

bool WinNetOps::GetAdapters(std::vector<AdapterRecord>& out) {
  return ListAdapterRecords(::GetAdaptersInfo, out);
}

bool WinNetOps::GetConnectionName(const AdapterRecord& adapter, std::size_t limit,
                                  std::string& name) {
  return ReadConnectionName(adapter.id, limit, name);
}

bool WinNetOps::Execute(const NetCommand& command) {
  // The name stands in double quotes on the command line: one that could end
  // them early is not run at all.
  if (command.kind != NetCommand::kArpFlush && !IsSafeConnectionName(command.adapter)) return false;
  return RunHidden(command.commandLine, m_programDir);
}

bool WinNetOps::PingHost(const char* address) { return WinPingOnce(address); }

void WinNetOps::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }
