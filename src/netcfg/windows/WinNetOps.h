// Adapters, address commands and the router probe on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/Ports.h"
#include "netcfg/AdapterSnapshot.h"
#include "netcfg/HelperProtocol.h"
#include "netcfg/windows/WinJournal.h"
#include "os/Sockets.h"

class IElevatedPart;

#include <iphlpapi.h>

// The adapter list call (GetAdaptersInfo); tests pass their own.
using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

// Every adapter the call reports, in its order: identifier, type and first
// IPv4 address ("0.0.0.0" when it has none). The list is asked for with room
// for one record, then again with the size the call asks for. False when the
// second call fails (also when there is no adapter at all). `indexes`, when
// given, receives each adapter's interface index.
bool ListAdapterRecords(GetAdaptersInfoFn call, std::vector<AdapterRecord>& out,
                        std::vector<std::uint32_t>* indexes = nullptr);

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

// One echo request to `address` (IcmpSendEcho2, which needs no rights): true
// when an echo reply from that address came within 0.3 s. The system matches
// replies to its own requests.
bool WinPingOnce(const char* address);

struct WinNetOptions {
  // The elevated part that changes adapters; null: the program's own, started
  // (with the elevation prompt) when an adapter is first changed.
  IElevatedPart* elevated = nullptr;
  // The journal's folder; "" keeps the adapters' earlier settings in memory.
  std::string journalDir;
  // The adapter list call; null: the system's.
  GetAdaptersInfoFn listAdapters = nullptr;
  // Reads what an adapter has now; null: ReadWindowsSnapshot.
  std::function<bool(const std::string& guid, AdapterSnapshot& out)> readSnapshot;
};

// The adapters are those GetAdaptersInfo lists, each named by its connection
// name. The window's process changes nothing itself: every change is a
// request to the elevated part, which takes the adapter by its index. Before
// the first change of an adapter its settings go to the journal; a hand-back
// to DHCP that gives back all it had removes the journal again. Safe to call
// from any thread.
class WinNetOps : public INetOps {
 public:
  explicit WinNetOps(WinNetOptions options = {});
  ~WinNetOps() override;
  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;
  std::vector<std::string> AdaptersLeftChanged() override { return m_leftAtStart; }

  // The interface index of the listed adapter with connection name `name`;
  // 0 when there is none.
  std::uint32_t InterfaceIndexOf(const std::string& name);
  // Its interface index and GUID; false when no listed adapter has that name.
  bool Identify(const std::string& name, std::uint32_t& index, std::string& guid);
  // For the end of the run: one line per adapter that does not have its own
  // settings back, naming them and how to put them back.
  std::string DescribeChangedAdapters();

 private:
  struct Listed {
    std::string id;  // GUID
    std::uint32_t index = 0;
    std::string name;  // connection name, once read
  };
  struct Change {
    AdapterSnapshot snapshot;
    bool journaled = false;  // the journal on disk holds it
    bool settled = false;    // handed back with all it had
  };

  bool Find(const std::string& name, Listed& out);
  bool Carry(const helper::Request& request);
  void RememberBeforeFirstChange(const Listed& adapter);
  void Settle(const std::string& guid);

  WinNetOptions m_options;
  std::unique_ptr<IElevatedPart> m_ownElevated;  // the program's own, when none was given
  IElevatedPart* m_elevated;
  WinJournal m_journal;
  std::vector<std::string> m_leftAtStart;
  std::mutex m_mutex;
  std::vector<Listed> m_listed;
  std::map<std::string, Change> m_changes;  // by GUID
  bool m_toldNoRights = false;
};

// The connection name of `guid` for the operator: its name, or the GUID
// itself when it has none that can be read.
std::string ConnectionNameOrGuid(const std::string& guid);
