// Adapters, address commands and the router probe on Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/Ports.h"
#include "os/Sockets.h"

#include <iphlpapi.h>

// The adapter list call (GetAdaptersInfo); tests pass their own.
using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

// Every adapter the call reports, in its order: identifier, type and first
// IPv4 address ("0.0.0.0" when it has none). The list is asked for with room
// for one record, then again with the size the call asks for. False when the
// second call fails (also when there is no adapter at all).
bool ListAdapterRecords(GetAdaptersInfoFn call, std::vector<AdapterRecord>& out);

// The registry key that holds the connection name of adapter `id`, under
// HKEY_LOCAL_MACHINE.
std::wstring ConnectionKeyPath(std::string_view id);

// The connection name of adapter `id` (the value "Name" of its key) as UTF-8.
// False when it cannot be read, or when it takes `limit` or more bytes in
// code page 936 (the count the limit has always been given in).
bool ReadConnectionName(std::string_view id, std::size_t limit, std::string& name);

// Bytes of `name` (UTF-8) in code page 936.
std::size_t Cp936Length(std::string_view name);

// A connection name that can stand between the double quotes of a command
// line: no quote, no backslash (which would escape the closing quote) and no
// control character.
bool IsSafeConnectionName(std::string_view name);

// Runs `commandLine` without a window and waits for it to end. Its first word
// names a program in `programDir` (the system folder: a program of that name
// in the working directory is never run). False exactly when the process
// could not be started; its exit status is not looked at.
bool RunHidden(const std::string& commandLine, const std::wstring& programDir);

// The system folder (C:\Windows\System32).
std::wstring SystemDirectory();

// One echo request to `address` over a raw ICMP socket; true when an echo
// reply from that address with our identifier (the low 16 bits of the process
// id) came within 0.3 s of the last datagram.
bool WinPingOnce(const char* address);

class WinNetOps : public INetOps {
 public:
  // Commands run from `programDir`; empty: the system folder.
  explicit WinNetOps(std::wstring programDir = {});
  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;

 private:
  std::wstring m_programDir;
};
