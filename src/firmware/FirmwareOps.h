// The real firmware operations the wizard reaches through IFirmwareOps.
#pragma once

#include "app/Ports.h"

class FirmwareOps : public IFirmwareOps {
 public:
  int QueryLatestRom(RomInfo& info, const std::string& url) override;
  std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) override;
  void DownloadFirmwareThread(CBrickfixDlg* dlg) override;
  void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) override;
};
