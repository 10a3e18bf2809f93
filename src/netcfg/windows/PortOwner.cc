#include "netcfg/windows/PortOwner.h"

#include <memory>

#include "os/Sockets.h"
#include "platform/windows/Utf16.h"

#include <iphlpapi.h>

namespace {

std::string ProgramOf(unsigned long pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return "";
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  bool ok = QueryFullProcessImageNameW(process, 0, path.data(), &size) != 0;
  CloseHandle(process);
  if (!ok) return "";
  path.resize(size);
  std::size_t slash = path.find_last_of(L"\\/");
  return Narrow(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

}  // namespace

PortOwner UdpPortOwner(std::uint16_t port) {
  PortOwner owner;
  ULONG size = 0;
  GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  for (int tries = 0; tries < 3 && size > 0; ++tries) {
    std::unique_ptr<std::uint64_t[]> buffer(new std::uint64_t[size / sizeof(std::uint64_t) + 1]);
    auto* table = reinterpret_cast<MIB_UDPTABLE_OWNER_PID*>(buffer.get());
    DWORD result = GetExtendedUdpTable(table, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    if (result == ERROR_INSUFFICIENT_BUFFER) continue;
    if (result != NO_ERROR) break;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_UDPROW_OWNER_PID& row = table->table[i];
      if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port && row.dwOwningPid != 0) {
        owner.pid = row.dwOwningPid;
        owner.program = ProgramOf(owner.pid);
        break;
      }
    }
    break;
  }
  return owner;
}
