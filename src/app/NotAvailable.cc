#include "app/NotAvailable.h"

#include "app/BrickfixDlg.h"
#include "app/Log.h"

namespace {

[[noreturn]] void Unavailable(const char* what) {
  CBrickfixDlg* dlg = g_pMainDlg.load();
  dlg->MessageBox(std::string("此版本尚未提供该功能：") + what + "。程序在确认后退出。");
  dlg->ExitProcess(0);
}

}  // namespace

int NotAvailableOps::QueryLatestRom(RomInfo&, const std::string&) { Unavailable("云端固件查询"); }
std::string NotAvailableOps::FindRomFile(const std::string&, const std::string&, bool) {
  Unavailable("本地固件库");
}
void NotAvailableOps::DownloadFirmwareThread(CBrickfixDlg*) { Unavailable("固件下载"); }
void NotAvailableOps::PrepareLocalFirmwareThread(CBrickfixDlg*) { Unavailable("本地固件准备"); }
bool NotAvailableOps::GetAdapters(std::vector<AdapterRecord>&) { Unavailable("网卡列表"); }
bool NotAvailableOps::GetConnectionName(const AdapterRecord&, std::size_t, std::string&) {
  Unavailable("网卡名称");
}
bool NotAvailableOps::Execute(const NetCommand&) { Unavailable("地址设置"); }
bool NotAvailableOps::PingHost(const char*) { Unavailable("路由器探测"); }
void NotAvailableOps::Sleep(unsigned) { Unavailable("路由器探测"); }
CWinThread* NotAvailableOps::StartListener(CBrickfixDlg*) { Unavailable("TFTP 服务"); }
int NotAvailableOps::ParseRecoveryResult(CBrickfixDlg*) { Unavailable("烧写结果解析"); }
