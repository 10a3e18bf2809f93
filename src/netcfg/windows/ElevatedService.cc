#include "netcfg/windows/ElevatedService.h"

#include "netcfg/RestorePlan.h"

#include "netcfg/windows/Netsh.h"
#include "netcfg/windows/WinNetOps.h"

namespace helper {
namespace {

// Bytes offered for a connection name, terminator included, as the wizard does.
constexpr std::size_t kNameLimit = 80;

}  // namespace

SystemNet::SystemNet(std::wstring programDir)
    : m_programDir(programDir.empty() ? SystemDirectory() : std::move(programDir)) {}

bool SystemNet::Adapters(std::vector<WinAdapter>& out) {
  std::vector<AdapterRecord> records;
  std::vector<std::uint32_t> indexes;
  if (!ListAdapterRecords(::GetAdaptersInfo, records, &indexes)) return false;
  out.clear();
  for (std::size_t i = 0; i < records.size(); ++i) out.push_back({indexes[i], records[i].id, records[i].type});
  return true;
}

bool SystemNet::ConnectionName(const std::string& id, std::string& name) {
  return ReadConnectionName(id, kNameLimit, name);
}

bool SystemNet::Run(const std::string& commandLine) { return RunHidden(commandLine, m_programDir); }

bool SystemNet::Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

Reply WinService::Carry(const Request& request) {
  if (request.kind == Kind::kStatus) {
    Reply reply = Answer(request.kind, Status::kDone);
    reply.rights.netAdmin = m_system.Elevated();
    return reply;
  }
  std::string name;
  {
    std::vector<WinAdapter> adapters;
    if (!m_system.Adapters(adapters)) adapters.clear();  // no list: no adapter
    const WinAdapter* adapter = nullptr;
    for (const WinAdapter& a : adapters) {
      if (static_cast<std::int64_t>(a.index) == request.ifindex) adapter = &a;
    }
    if (!adapter || adapter->type != MIB_IF_TYPE_ETHERNET) {
      return Answer(request.kind, Status::kInvalid,
                    "adapter " + std::to_string(request.ifindex) + " is no wired Ethernet adapter");
    }
    // The name stands between double quotes on the command line.
    if (!m_system.ConnectionName(adapter->id, name) || !IsSafeConnectionName(name)) {
      return Answer(request.kind, Status::kInvalid, "adapter " + std::to_string(request.ifindex) +
                                                        " has no connection name that can be passed on");
    }
  }
  // A journal lies in the user's own folder: a restore gives back only what
  // lies within the bounds of every restore.
  std::string why;
  if (request.kind == Kind::kRestoreAdapter && !ReplacingRestoreBoundsHold(request.state, why)) {
    return Answer(request.kind, Status::kInvalid, why);
  }
  std::vector<std::string> commands = NetshCommands(request, name);
  if (commands.empty()) return Answer(request.kind, Status::kInvalid, "not a request carried out on Windows");
  for (const std::string& command : commands) {
    if (!m_system.Run(command)) {
      return Answer(request.kind, Status::kFailed, command.substr(0, command.find(' ')) + " could not be started");
    }
  }
  return Answer(request.kind, Status::kDone);
}

std::vector<std::uint8_t> WinService::Handle(std::span<const std::uint8_t> message) {
  std::optional<Request> request = DecodeRequest(message);
  if (!request) return EncodeReply(Answer(Kind::kStatus, Status::kInvalid, "not a request the helper carries out"));
  return EncodeReply(Carry(*request));
}

}  // namespace helper
