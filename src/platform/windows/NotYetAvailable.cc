#include "platform/windows/NotYetAvailable.h"

#include <cstdlib>

#include "app/BrickfixDlg.h"
#include "app/Log.h"

namespace {

// Shows the box and ends the run; never returns.
[[noreturn]] void Stop(const char* part) {
  CBrickfixDlg* dlg = g_pMainDlg.load();
  if (!dlg) std::abort();  // only the wizard calls these, after its console is set up
  dlg->MessageBox(NotYetAvailableText(part));
  dlg->ExitProcess(0);
}

}  // namespace

std::string NotYetAvailableText(const char* part) {
  return std::string("Windows 版暂不支持") + part + "，程序在确认后退出。";
}

int NotYetAvailableFirmware::QueryLatestRom(RomInfo&, const std::string&) { Stop("固件查询"); }
std::string NotYetAvailableFirmware::FindRomFile(const std::string&, const std::string&, bool) {
  Stop("本地固件");
}
void NotYetAvailableFirmware::DownloadFirmwareThread(CBrickfixDlg*) { Stop("固件下载"); }
void NotYetAvailableFirmware::PrepareLocalFirmwareThread(CBrickfixDlg*) { Stop("本地固件"); }
