// brickfix_lab.exe: the Windows program for the end-to-end scenarios under
// Wine while the Windows program has no firmware operations of its own. The
// cloud counts as unreachable and the image stored in "Rom" is served; all
// else (the dialog or line mode, the adapters, the commands, the probe, the
// TFTP service) is the real program's, but that an upload ends after 6.3 s
// of silence instead of 63 s.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

#include "app/BrickfixDlg.h"
#include "firmware/ServedFile.h"
#include "platform/windows/WindowsProgram.h"
#include "tftp/TftpOps.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

unsigned char* Keep(const std::vector<unsigned char>& bytes) {
  auto* block = new unsigned char[std::max<std::size_t>(bytes.size(), 1)]();
  std::copy(bytes.begin(), bytes.end(), block);
  return block;
}

class LabFirmware : public IFirmwareOps {
 public:
  int QueryLatestRom(RomInfo&, const std::string&) override { return 4; }

  std::string FindRomFile(const std::string& dir, const std::string& model, bool) override {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && Lower(name).starts_with(Lower(model))) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? "" : names.front();
  }

  void DownloadFirmwareThread(CBrickfixDlg* dlg) override { PrepareLocalFirmwareThread(dlg); }

  void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) override {
    std::string name = FindRomFile("Rom", dlg->m_strModel, false);
    std::ifstream file("Rom/" + name, std::ios::binary);
    std::vector<unsigned char> image(std::istreambuf_iterator<char>(file), {});
    g_recoveryBin = {Keep(image), static_cast<int>(image.size())};
    std::vector<unsigned char> config(52, 0);
    std::memset(config.data(), 0xEF, 4);
    config[11] = 1;
    std::string version = name.substr(std::min(name.size(), name.find('-') + 1));
    std::memcpy(&config[12], version.data(), std::min<std::size_t>(version.size(), 8));
    g_recoveryCfg = {Keep(config), 52};
    g_recoveryResult = {Keep(std::vector<unsigned char>(1024, 0)), 1024};
    dlg->m_nStep = 5;
    dlg->RunStep();
  }
};

}  // namespace

int main(int argc, char** argv) {
  auto* tftp = new TftpOps(tftp::kTftpPort, tftp::kFirstTransferPort, std::chrono::seconds(1),
                           std::chrono::milliseconds(100));
  return RunWindowsProgram(argc, argv, new LabFirmware, tftp);
}
