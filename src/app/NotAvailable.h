// Stand-ins for operations this build does not have: reaching one says so
// plainly and ends the process as a fatal path does.
#pragma once

#include "app/Ports.h"

class NotAvailableOps : public IFirmwareOps, public INetOps, public ITftpOps {
 public:
  int QueryLatestRom(RomInfo& info, const std::string& url) override;
  std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) override;
  void DownloadFirmwareThread(CBrickfixDlg* dlg) override;
  void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) override;
  bool GetAdapters(std::vector<AdapterRecord>& out) override;
  bool GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) override;
  bool Execute(const NetCommand& command) override;
  bool PingHost(const char* address) override;
  void Sleep(unsigned milliseconds) override;
  CWinThread* StartListener(CBrickfixDlg* dlg) override;
  int ParseRecoveryResult(CBrickfixDlg* dlg) override;
};
