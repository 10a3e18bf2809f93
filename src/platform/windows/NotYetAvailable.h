// TEMPORARY stand-in for the part of the wizard that the Windows program does
// not have yet: the cloud query and firmware workers. Each shows a message box
// saying so and ends the run (exit status 0). It goes once the Windows
// firmware code exists.
#pragma once

#include "app/Ports.h"

// The message box's text for `part`.
std::string NotYetAvailableText(const char* part);

class NotYetAvailableFirmware : public IFirmwareOps {
 public:
  int QueryLatestRom(RomInfo& info, const std::string& url) override;
  std::string FindRomFile(const std::string& dir, const std::string& model, bool purge) override;
  void DownloadFirmwareThread(CBrickfixDlg* dlg) override;
  void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) override;
};
