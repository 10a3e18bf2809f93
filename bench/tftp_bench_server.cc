// Serves one image from memory with the program's TFTP service, for the
// benchmark and for trying the router simulator by hand:
//   tftp_bench_server IMAGE [PORT [ADAPTER]]
// With an adapter, the observer watches it as in a run, with the frames
// from the network helper's capture from the start of the wait until the
// first request (root only, the adapter with 192.168.1.88/24; the timeline
// and the capture go to a new folder in the temporary folder).
// The log goes to standard error. Runs until it is killed. The same source
// builds for Linux and for Windows.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "BenchObserver.h"
#include "app/BrickfixDlg.h"
#include "console/ConsoleView.h"
#include "console/UiBridge.h"
#include "firmware/ServedFile.h"
#include "tftp/TftpOps.h"

namespace {

class StderrView : public IConsoleView {
 public:
  void AppendLog(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  void ClearLog() override {}
  void SelectInput() override {}
  void ClearInput() override {}
  std::string GetInputText() override { return ""; }
  void MessageBox(const std::string& text) override {
    std::fprintf(stderr, "[%s]\n", text.c_str());
  }
  void SetTitle(const std::string&) override {}
  void ApplyStyle(int, const CColorEdit&) override {}
  void ShowAbout() override {}
  void Shutdown() override {}
};

class BenchPlatform : public IPlatform {
 public:
  void BeginThread(std::function<void()> fn) override { std::thread(std::move(fn)).detach(); }
  [[noreturn]] void ExitProcess(int status) override {
    std::fflush(nullptr);
    std::_Exit(status);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: tftp_bench_server IMAGE [PORT [ADAPTER]]\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "tftp_bench_server: cannot read %s\n", argv[1]);
    return 1;
  }
  // Everything below lives until the process is killed.
  auto* image = new std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
  auto* result = new std::vector<unsigned char>(1024, 0);
  auto* config = new std::vector<unsigned char>(52, 0xEF);
  g_recoveryBin = {image->data(), static_cast<int>(image->size())};
  g_recoveryCfg = {config->data(), static_cast<int>(config->size())};
  g_recoveryResult = {result->data(), static_cast<int>(result->size())};

  auto* view = new StderrView;
  auto* bridge = new UiBridge;
  auto* platform = new BenchPlatform;
  auto port = static_cast<std::uint16_t>(argc >= 3 ? std::atoi(argv[2]) : tftp::kTftpPort);
  IObserver* observer = nullptr;
  if (argc == 4) {
    std::string error;
    std::string dir = std::filesystem::temp_directory_path().string();
    observer = StartBenchObserver(argv[3], dir, error);
    if (!observer) {
      std::fprintf(stderr, "tftp_bench_server: %s\n", error.c_str());
      return 1;
    }
  }
  auto* tftp = new TftpOps(port);
  CBrickfixDlg::Services services;
  services.view = view;
  services.bridge = bridge;
  services.platform = platform;
  services.tftp = tftp;
  services.observer = observer;
  auto* dlg = new CBrickfixDlg(services);
  dlg->InitConsole();
  if (observer) BeginBenchWait(*observer, dlg, argv[3]);
  dlg->m_strModel = "recovery.bin";
  dlg->m_bCfgNotRequested = 0;  // every fetch just waits for a report
  dlg->m_pTftpThread = tftp->StartListener(dlg);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
