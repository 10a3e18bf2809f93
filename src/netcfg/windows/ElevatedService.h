// The elevated part's side on Windows: the network helper's requests
// (HelperProtocol.h), carried out with netsh and arp and nothing else. It
// takes adapters by index, reads their connection names itself and makes
// every command line itself; nothing the program sends becomes a name, a
// path or a command.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "netcfg/HelperProtocol.h"

namespace helper {

// One adapter as the system lists it.
struct WinAdapter {
  std::uint32_t index = 0;  // the system's interface index
  std::string id;           // its GUID, as the registry names it
  int type = 0;             // 6: Ethernet
};

// What the elevated part asks of the system; tests pass their own.
class IWinNetSystem {
 public:
  virtual ~IWinNetSystem() = default;
  virtual bool Adapters(std::vector<WinAdapter>& out) = 0;
  // The connection name of adapter `id`; false when it cannot be read.
  virtual bool ConnectionName(const std::string& id, std::string& name) = 0;
  // Runs the command line from the system folder, hidden, and waits for it;
  // false when it could not be started (its exit status is not looked at).
  virtual bool Run(const std::string& commandLine) = 0;
  // Whether this process holds administrator rights.
  virtual bool Elevated() = 0;
};

// The real system: GetAdaptersInfo, the registry, the system folder's
// programs (or those of `programDir`), the process token.
class SystemNet : public IWinNetSystem {
 public:
  explicit SystemNet(std::wstring programDir = {});
  bool Adapters(std::vector<WinAdapter>& out) override;
  bool ConnectionName(const std::string& id, std::string& name) override;
  bool Run(const std::string& commandLine) override;
  bool Elevated() override;

 private:
  std::wstring m_programDir;
};

class WinService {
 public:
  explicit WinService(IWinNetSystem& system) : m_system(system) {}
  // Decodes one request, checks it and carries it out: the reply's bytes.
  std::vector<std::uint8_t> Handle(std::span<const std::uint8_t> message);
  Reply Carry(const Request& request);

 private:
  IWinNetSystem& m_system;
};

}  // namespace helper
