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

bool NotYetAvailableNet::GetAdapters(std::vector<AdapterRecord>&) { Stop("网卡设置"); }
bool NotYetAvailableNet::GetConnectionName(const AdapterRecord&, std::size_t, std::string&) {
  Stop("网卡设置");
}
bool NotYetAvailableNet::Execute(const NetCommand&) { Stop("网卡设置"); }
bool NotYetAvailableNet::PingHost(const char*) { Stop("网卡设置"); }
void NotYetAvailableNet::Sleep(unsigned) { Stop("网卡设置"); }

CWinThread* NotYetAvailableTftp::StartListener(CBrickfixDlg*) { Stop("TFTP 服务"); }
int NotYetAvailableTftp::ParseRecoveryResult(CBrickfixDlg*) { Stop("TFTP 服务"); }
