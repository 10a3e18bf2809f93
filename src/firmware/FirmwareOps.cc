#include "firmware/FirmwareOps.h"

#include "firmware/CloudQuery.h"
#include "firmware/Preparation.h"
#include "firmware/RomStore.h"

int FirmwareOps::QueryLatestRom(RomInfo& info, const std::string& url) {
  return ::QueryLatestRom(info, url);
}

std::string FirmwareOps::FindRomFile(const std::string& dir, const std::string& model, bool purge) {
  return ::FindRomFile(dir, model, purge);
}

void FirmwareOps::DownloadFirmwareThread(CBrickfixDlg* dlg) { ::DownloadFirmwareThread(dlg); }

void FirmwareOps::PrepareLocalFirmwareThread(CBrickfixDlg* dlg) { ::PrepareLocalFirmwareThread(dlg); }
