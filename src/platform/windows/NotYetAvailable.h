// TEMPORARY stand-ins for the parts of the wizard that the Windows program
// does not have yet: the adapters and address commands, and the TFTP
// service. Each shows a message box saying so and ends the run (exit status
// 0). They go once the Windows network and TFTP code exist.
#pragma once

#include "app/Ports.h"

// The message box's text for `part`.
std::string NotYetAvailableText(const char* part);

class NotYetAvailableNet : public INetOps {
 public:
  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;
};

class NotYetAvailableTftp : public ITftpOps {
 public:
  CWinThread* StartListener(CBrickfixDlg* dlg) override;
  int ParseRecoveryResult(CBrickfixDlg* dlg) override;
};
