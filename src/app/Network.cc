// Adapter choice, the address commands and the wait for the router.
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/BrickfixDlg.h"

namespace {

constexpr int kMaxAdapters = 255;
constexpr std::size_t kNameLimit = 80;  // bytes offered for a name, terminator included
constexpr const char* kRouterAddress = "192.168.199.1";
constexpr int kRepliesNeeded = 10;
constexpr unsigned kPauseMs = 1500;

NetCommand StaticCommand(const char* name, const char* address, const char* gateway) {
  NetCommand command;
  command.kind = NetCommand::kStatic;
  command.adapter = name;
  command.address = address;
  command.mask = "255.255.255.0";
  command.gateway = gateway;
  command.metric = 1;
  char line[1024] = {};
  std::snprintf(line, sizeof line,
                "netsh interface ip set address \"%s\" static %s 255.255.255.0 %s 1", name,
                address, gateway);
  command.commandLine = line;
  return command;
}

}  // namespace

NetCommand CBrickfixDlg::RecoveryAddressCommand(const char* name) const {
  return StaticCommand(name, "192.168.1.88", "192.168.1.1");
}

NetCommand CBrickfixDlg::LanAddressCommand(const char* name) const {
  return StaticCommand(name, "192.168.199.88", "192.168.199.1");
}

NetCommand CBrickfixDlg::DhcpCommand(const char* name) const {
  NetCommand command;
  command.kind = NetCommand::kDhcp;
  command.adapter = name;
  char line[1024] = {};
  std::snprintf(line, sizeof line, "netsh interface ip set address \"%s\" dhcp", name);
  command.commandLine = line;
  return command;
}

bool CBrickfixDlg::RunCommand(const NetCommand& command) {
  if (!m_services.net->Execute(command)) {
    Print("设置地址错误，请与版主反馈！");
    return false;
  }
  return true;
}

void CBrickfixDlg::ListAdapters() {
  std::vector<AdapterRecord> adapters;
  if (!m_services.net->GetAdapters(adapters)) {
    Print("获取网卡信息失败，请向版主反馈。");
    return;
  }
  Print("当前可用网卡如下，请正确选择所使用的网卡：");
  for (const AdapterRecord& adapter : adapters) {
    if (adapter.type != MIB_IF_TYPE_ETHERNET) continue;
    if (m_nAdapterCount >= kMaxAdapters) break;
    // The system counts the limit in its own encoding (on Windows 79 bytes
    // of code page 936, up to 237 bytes here in UTF-8); the slot only has to
    // hold what it lets through.
    std::string name;
    if (!m_services.net->GetConnectionName(adapter, kNameLimit, name) ||
        name.size() >= sizeof m_szAdapterNames[0]) {
      MessageBox("无法获取网卡信息 !程序在确认后退出。");
      ExitProcess(0);
    }
    int number = ++m_nAdapterCount;
    Print("%d. %s (%s)", number, name.c_str(), adapter.ipAddress.c_str());
    std::memcpy(m_szAdapterNames[number], name.c_str(), name.size() + 1);
  }
  if (m_nAdapterCount == 1) {
    m_nAdapter = 1;
    Print("只发现一块网卡，强制使用这块网卡。");
    ApplyAdapter(1);
  } else {
    m_bBusy = 0;
  }
}

void CBrickfixDlg::ApplyAdapter(int n) {
  m_nAdapter = n;
  NetCommand command = RecoveryAddressCommand(m_szAdapterNames[n]);
  Print("正在配置本机IP地址信息，请稍候...");
  if (!RunCommand(command)) {
    Print("设置地址错误，请与版主反馈！");
    ExitProcess(0);
  }
  Print("IP地址信息配置完成");
  Observer().WaitBegins(this, command);
  if (m_pTftpThread.load() == nullptr) m_pTftpThread = m_services.tftp->StartListener(this);
  Print("请使用网线连接电脑的以太网口和Terno的一个黄色网口。");
  Print("请使用尖锐物按住RST按钮不松开再将Terno电源插上...");
  m_bBusy = 1;
}

void CBrickfixDlg::RestoreDhcp() {
  int adapter = m_nAdapter;
  Observer().AddressReleased();
  if (adapter != -1) RunCommand(DhcpCommand(m_szAdapterNames[adapter]));
  if (CWinThread* listener = m_pTftpThread.load()) {
    if (listener->m_threadId.load() != std::this_thread::get_id()) listener->m_bSuspended = true;
  }
}

void CBrickfixDlg::WaitForRouter() {
  NetCommand arp;
  arp.kind = NetCommand::kArpFlush;
  // Where the system can, only the chosen adapter's entries go.
  if (int adapter = m_nAdapter; adapter > 0) arp.adapter = m_szAdapterNames[adapter];
  arp.commandLine = "arp -d";
  if (!RunCommand(arp)) {
    Print("设置地址错误，请与版主反馈！");
    ExitProcess(0);
  }
  int replies = 0;
  for (;;) {
    if (m_services.net->PingHost(kRouterAddress)) {
      if (++replies == kRepliesNeeded) return;
    } else {
      m_services.net->Sleep(kPauseMs);
      PrintInline(".");
    }
  }
}

void CBrickfixDlg::FinishRecovery() {
  const char* name = m_szAdapterNames[m_nAdapter];
  Observer().AddressReleased();
  if (!RunCommand(LanAddressCommand(name))) {
    Print("设置地址错误，请与版主反馈！");
    ExitProcess(0);
  }
  WaitForRouter();
  Print("上电初始化中");
  if (!RunCommand(DhcpCommand(name))) {
    Print("还原配置错误，请与版主反馈！");
    ExitProcess(0);
  }
  WaitForRouter();
  Print("固件恢复成功！");
}
