// The wizard: start-up, the numbered steps and the operator's answers.
#include "app/BrickfixDlg.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <memory>

#include "console/ConsoleView.h"
#include "console/UiBridge.h"

const char g_szModelTable[6][20] = {
    "", "RX2001", "RX2002", "RX2003", "RX2004", "recovery.bin",
};

const char* const kAboutMenuText = "关于 Brickfix(&A)...";
const char* const kWindowTitle = "Terno 修复助手";

namespace {

const char* const kMenuLines[] = {
    "1. Terno Lark（RX2001）", "2. Terno Wren（RX2002）", "3. Terno Finch（RX2003）",
    "4. Terno Kite（RX2004）", "5. 通用（recovery.bin）",
};

// The value of `text` by the rules of atoi, saturated to the 32-bit range.
int AsciiToInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<int>(value);
}

// A model code as the cloud names it: letter case does not count.
bool SameModel(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

CBrickfixDlg::CBrickfixDlg(const Services& services) : m_services(services) {}

IObserver& CBrickfixDlg::Observer() const {
  static IObserver none;
  return m_services.observer ? *m_services.observer : none;
}

bool CBrickfixDlg::OnInitDialog() {
  InitConsole();
  m_nAdapterCount = 0;
  m_bCfgNotRequested = 1;
  m_bNoRestoreCfg = true;
  m_bBusy = 0;
  m_bForceDownload = 0;
  m_pTftpThread = nullptr;
  m_nAdapter = -1;
  m_nStep = 0;
  RunStep();
  m_services.bridge->Invoke([&] { m_services.view->SetTitle(kWindowTitle); });
  return true;
}

void CBrickfixDlg::OnSysCommand(unsigned id, long /*param*/) {
  if ((id & 0xFFF0u) == IDM_ABOUTBOX) {
    m_services.bridge->Invoke([&] { m_services.view->ShowAbout(); });
  }
}

void CBrickfixDlg::ExitProcess(int status) {
  m_services.platform->ExitProcess(status);
  std::abort();  // an IPlatform never returns from ExitProcess
}

void CBrickfixDlg::BeginThread(std::function<void()> fn) {
  m_services.platform->BeginThread(std::move(fn));
}

void CBrickfixDlg::StartDownloadWorker() {
  BeginThread([this] { m_services.firmware->DownloadFirmwareThread(this); });
}

void CBrickfixDlg::StartLocalWorker() {
  BeginThread([this] { m_services.firmware->PrepareLocalFirmwareThread(this); });
}

void CBrickfixDlg::RunStep() {
  switch (m_nStep.load()) {
    case 0:
      ClearLog();
      // An earlier run that ended early left an adapter changed.
      for (const std::string& adapter : m_services.net->AdaptersLeftChanged()) {
        Print("上次运行没有还原网卡 %s 的原有设置，请退出后运行 brickfix --restore-network 还原。",
              adapter.c_str());
      }
      Print("请选择机型：");
      for (const char* line : kMenuLines) Print("%s", line);
      m_bBusy = 0;
      break;

    case 1:
      ClearLog();
      Print("是否恢复用户配置：（只适用于新版本固件）");
      Print("1. 是");
      Print("2. 否");
      m_bBusy = 0;
      break;

    case 2: {
      ClearLog();
      auto info = std::make_unique<RomInfo>();
      int queried = m_services.firmware->QueryLatestRom(*info, BuildQueryUrl(m_strModel));
      std::string stored = m_services.firmware->FindRomFile("Rom", m_strModel, false);
      std::string storedVersion;
      if (std::size_t dash = stored.find('-'); dash != std::string::npos) {
        storedVersion = stored.substr(dash + 1);
      }
      if (stored.empty()) {
        m_bForceDownload = 1;
        if (info->version.empty()) {
          MessageBox("本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！");
          ExitProcess(0);
        }
        Print("本地没有固件，强制从互联网下载固件：%s-%s", m_strModel.c_str(), info->version.c_str());
        m_bBusy = 1;
        StartDownloadWorker();
      } else if (info->version.empty()) {
        Print("使用本地固件：%s", stored.c_str());
        m_bBusy = 1;
        StartLocalWorker();
      } else if (info->version == storedVersion) {
        // The stored file must then be the cloud's image, byte for byte.
        if (queried == 0 && SameModel(info->model, m_strModel)) m_strStoredMd5 = info->md5;
        Print("最新固件与本地固件版本相同，使用本地固件：%s", stored.c_str());
        m_bBusy = 1;
        StartLocalWorker();
      } else {
        Print("本地固件：%s", stored.c_str());
        Print("最新固件：%s-%s", m_strModel.c_str(), info->version.c_str());
        m_nStep = 3;
        RunStep();
      }
      break;
    }

    case 3:
      Print("是否联网下载最新固件：");
      Print("1. 是");
      Print("2. 否");
      m_bBusy = 0;
      break;

    case 5:
      ListAdapters();
      break;

    case 7: {
      int code = m_services.tftp->ParseRecoveryResult(this);
      if (code == 0) {
        ClearLog();
        Print("固件烧写成功！");
      } else if (code == 4) {
        ClearLog();
        Print("固件烧写失败！需要重试。");
        Print("请使用网线连接电脑的以太网口和Terno的一个黄色网口。");
        Print("请使用尖锐物按住RST按钮不松开再将Terno电源插上...");
        if (int adapter = m_nAdapter; adapter >= 1) {
          Observer().WaitBegins(this, RecoveryAddressCommand(m_szAdapterNames[adapter]));
        }
      } else {
        MessageBox("固件不完整。请在退出后重试!");
        RestoreDhcp();
        ExitProcess(0);
      }
      break;
    }

    case 8:
      FinishRecovery();
      break;

    default:
      break;
  }
  ClearInput();
}

void CBrickfixDlg::UpdateInputFromBox() {
  m_services.bridge->Invoke([&] { m_strInput = m_services.view->GetInputText(); });
}

void CBrickfixDlg::OnInputEnter() {
  if (m_bBusy == 1) return;
  UpdateInputFromBox();
  int n = AsciiToInt(m_strInput);
  char canonical[16];
  std::snprintf(canonical, sizeof canonical, "%d", n);
  if (!m_strInput.empty() && m_strInput != canonical) {
    MessageBox("输入不是整数，请重新输入！");
    SelectInput();
    return;
  }
  switch (m_nStep.load()) {
    case 0:
      if (n < 1 || n > 5) {
        MessageBox("非法机型，请重新输入！");
        SelectInput();
        return;
      }
      m_strModel = g_szModelTable[n];
      m_nStep = kOfferRestoreQuestion ? 1 : 2;
      RunStep();
      break;

    case 1:
      if (n != 1 && n != 2) {
        MessageBox("请重新输入！");
        SelectInput();
        return;
      }
      m_bNoRestoreCfg = n == 2;
      m_nStep = 2;
      RunStep();
      break;

    case 3:
      if (n != 1 && n != 2) {
        MessageBox("输入非法，请重新输入！");
        SelectInput();
        return;
      }
      ClearLog();
      m_bBusy = 1;
      if (n == 1) StartDownloadWorker();
      else StartLocalWorker();
      break;

    case 5:
      if (n < 1 || n > m_nAdapterCount) {
        MessageBox("输入网卡序号非法，请重新输入！");
        SelectInput();
        return;
      }
      ClearLog();
      ApplyAdapter(n);
      break;

    default:
      break;
  }
}
