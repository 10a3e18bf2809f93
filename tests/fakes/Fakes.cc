#include "fakes/Fakes.h"

#include "app/Log.h"
#include "netcfg/Ipv4.h"

// ---- FakeView ----

void FakeView::AppendLog(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex);
  log.append(text);
}

void FakeView::ClearLog() {
  std::lock_guard<std::mutex> lock(mutex);
  log.clear();
}

void FakeView::SelectInput() {
  std::lock_guard<std::mutex> lock(mutex);
  inputFocused = true;
  inputSelected = true;
}

void FakeView::ClearInput() {
  std::lock_guard<std::mutex> lock(mutex);
  inputFocused = true;
  inputSelected = false;
  input.clear();
}

std::string FakeView::GetInputText() {
  std::lock_guard<std::mutex> lock(mutex);
  return input;
}

void FakeView::MessageBox(const std::string& text) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(text);
    hook = onMessageBox;
  }
  if (hook) hook(text);
}

void FakeView::SetStatus(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  status = text;
}

void FakeView::SetTitle(const std::string& t) {
  std::lock_guard<std::mutex> lock(mutex);
  title = t;
}

void FakeView::ApplyStyle(int controlId, const CColorEdit& style) {
  std::lock_guard<std::mutex> lock(mutex);
  styles[controlId] = style;
}

void FakeView::ShowAbout() {
  std::lock_guard<std::mutex> lock(mutex);
  ++aboutCount;
}

void FakeView::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex);
  ++shutdownCount;
}

std::string FakeView::Log() const {
  std::lock_guard<std::mutex> lock(mutex);
  return log;
}

std::vector<std::string> FakeView::LogLines() const {
  std::string text = Log();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> FakeView::Messages() const {
  std::lock_guard<std::mutex> lock(mutex);
  return messages;
}

// ---- FakePlatform ----

void FakePlatform::BeginThread(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex);
  ++started;
  if (mode == kQueue) {
    pending.push_back(std::move(fn));
    return;
  }
  threads.emplace_back([this, fn = std::move(fn)] {
    try {
      fn();
    } catch (const FakeExit& e) {
      std::lock_guard<std::mutex> lock(mutex);
      exits.push_back(e.status);
    }
  });
}

void FakePlatform::ExitProcess(int status) { throw FakeExit{status}; }

int FakePlatform::RunPending() {
  int count = 0;
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (pending.empty()) return count;
      fn = std::move(pending.front());
      pending.pop_front();
    }
    fn();
    ++count;
  }
}

void FakePlatform::JoinAll() {
  for (;;) {
    std::vector<std::thread> batch;
    {
      std::lock_guard<std::mutex> lock(mutex);
      batch.swap(threads);
    }
    if (batch.empty()) return;
    for (auto& t : batch) t.join();
  }
}

// ---- FakeFirmware ----

int FakeFirmware::QueryLatestRom(RomInfo& info, const std::string& url) {
  queriedUrls.push_back(url);
  if (queryCode == 0 || queryCode == 1) info = latest;
  return queryCode;
}

std::string FakeFirmware::FindRomFile(const std::string& dir, const std::string& model, bool purge) {
  lookups.push_back(dir + "|" + model + "|" + (purge ? "1" : "0"));
  return storedName;
}

void FakeFirmware::DownloadFirmwareThread(CBrickfixDlg* dlg) {
  ++downloadRuns;
  if (onDownload) onDownload(dlg);
}

void FakeFirmware::PrepareLocalFirmwareThread(CBrickfixDlg* dlg) {
  ++localRuns;
  if (onLocal) onLocal(dlg);
}

// ---- FakeNet ----

bool FakeNet::GetAdapters(std::vector<AdapterRecord>& out) {
  std::lock_guard<std::mutex> lock(mutex);
  if (listFails) return false;
  out = adapters;
  return true;
}

bool FakeNet::GetConnectionName(const AdapterRecord& adapter, std::size_t limit, std::string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = names.find(adapter.id);
  if (it == names.end()) return false;
  if ((nameLength ? nameLength(it->second) : it->second.size()) >= limit) return false;
  name = it->second;
  return true;
}

bool FakeNet::Execute(const NetCommand& command) {
  std::function<bool(const NetCommand&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex);
    commands.push_back(command);
    hook = executeHook;
    if (!hook) return !executeFails;
  }
  return hook(command);
}

bool FakeNet::PingHost(const char* address) {
  std::lock_guard<std::mutex> lock(mutex);
  pinged.emplace_back(address);
  if (pingScript.empty()) return true;
  bool ok = pingScript.front();
  pingScript.pop_front();
  return ok;
}

void FakeNet::Sleep(unsigned milliseconds) {
  std::lock_guard<std::mutex> lock(mutex);
  sleeps.push_back(milliseconds);
}

void FakeNet::AddEthernet(const std::string& name, const std::string& ip) {
  std::lock_guard<std::mutex> lock(mutex);
  std::string id = "{" + name + "}";
  adapters.push_back({id, MIB_IF_TYPE_ETHERNET, ip});
  names[id] = name;
}

// ---- FakeTftp ----

CWinThread* FakeTftp::StartListener(CBrickfixDlg*) {
  ++listenerStarts;
  return &listener;
}

int FakeTftp::ParseRecoveryResult(CBrickfixDlg*) {
  if (results.empty()) return 0;
  int code = results.front();
  results.pop_front();
  return code;
}

// ---- FakeObserver ----

namespace {

std::string Endpoint(std::uint32_t address, std::uint16_t port) {
  return FormatIpv4(address) + ":" + std::to_string(port);
}

}  // namespace

void FakeObserver::Add(std::string call) {
  std::lock_guard<std::mutex> lock(mutex);
  calls.push_back(std::move(call));
}

void FakeObserver::WaitBegins(CBrickfixDlg*, const NetCommand& command) {
  Add("wait " + command.adapter + " " + command.address);
}

void FakeObserver::AddressReleased() { Add("released"); }

void FakeObserver::RequestRead(std::uint32_t address, std::uint16_t port, const std::string& file) {
  Add("read " + Endpoint(address, port) + " " + file);
}

void FakeObserver::RequestIgnored(std::uint32_t address, std::uint16_t port) {
  Add("ignored " + Endpoint(address, port));
}

void FakeObserver::RequestUnusable(std::uint32_t address, std::uint16_t port) {
  Add("unusable " + Endpoint(address, port));
}

void FakeObserver::PortTaken(std::uint16_t port) { Add("port-taken " + std::to_string(port)); }

void FakeObserver::TransferStalled(std::uint32_t address, std::uint16_t port, const std::string& file) {
  Add("stalled " + Endpoint(address, port) + " " + file);
}

std::vector<std::string> FakeObserver::Calls() const {
  std::lock_guard<std::mutex> lock(mutex);
  return calls;
}

// ---- WizardHarness ----

CBrickfixDlg::Services MakeServices(IConsoleView& view, UiBridge& bridge, IPlatform& platform,
                                    IFirmwareOps& firmware, INetOps& net, ITftpOps& tftp) {
  CBrickfixDlg::Services services;
  services.view = &view;
  services.bridge = &bridge;
  services.platform = &platform;
  services.firmware = &firmware;
  services.net = &net;
  services.tftp = &tftp;
  return services;
}

WizardHarness::WizardHarness(FakePlatform::Mode mode) : platform(mode) {
  CBrickfixDlg::Services services = MakeServices(view, bridge, platform, firmware, net, tftp);
  services.observer = &observer;
  dlg = std::make_unique<CBrickfixDlg>(services);
  bridge.AttachUiThread();
}

void WizardHarness::Start() { dlg->OnInitDialog(); }

void WizardHarness::Answer(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(view.mutex);
    view.input = text;
  }
  dlg->OnInputEnter();
}
