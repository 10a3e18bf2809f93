#include "firmware/Preparation.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/BrickfixDlg.h"
#include "app/Log.h"
#include "firmware/CloudQuery.h"
#include "firmware/HttpClient.h"
#include "firmware/Md5.h"
#include "firmware/RomInfo.h"
#include "firmware/RomStore.h"
#include "firmware/ServedFile.h"

namespace {

constexpr int kResultBufferSize = 1024;

void PutBigEndian(unsigned char* out, unsigned value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

// Copies at most `limit` bytes of `text`; the field is already zeroed, so the
// terminator and the padding are in place.
template <std::size_t N>
void PutText(char (&field)[N], const std::string& text, std::size_t limit) {
  static_assert(N >= 1);
  std::memcpy(field, text.data(), std::min({text.size(), limit, N - 1}));
}

[[noreturn]] void Fatal(CBrickfixDlg* dlg, const char* text) {
  dlg->MessageBox(text);
  dlg->ExitProcess(0);
}

// Common to both workers: the served files, then step 5 on this thread.
void PrepareServedFiles(CBrickfixDlg* dlg, const RomInfo& info, bool noRestore) {
  if (BuildRecoveryConfig(info.version, noRestore) != 0) Fatal(dlg, "准备文件出错！请退出后重试。");
  g_recoveryBin.data = info.data;
  g_recoveryBin.size = info.size;
  if (AllocResultBuffer() != 0) Fatal(dlg, "准备文件出错！请退出后重试。");
  dlg->m_nStep = 5;
  dlg->RunStep();
}

// True when the loaded image's MD5 is `md5` (hexadecimal, either case).
bool HasDigest(const RomInfo& info, const std::string& md5) {
  Md5 digest;
  digest.Update(info.data, static_cast<std::size_t>(info.size));
  std::string hex = digest.HexDigest();
  return !hex.empty() && hex.size() == md5.size() &&
         std::equal(hex.begin(), hex.end(), md5.begin(), [](char a, char b) {
           return a == (b >= 'A' && b <= 'F' ? static_cast<char>(b - 'A' + 'a') : b);
         });
}

}  // namespace

int BuildRecoveryConfig(const std::string& version, bool noRestore) {
  auto* block = new (std::nothrow) unsigned char[sizeof(RecoveryConfig)];
  if (!block) return 2;
  RecoveryConfig config{};
  std::memset(config.magic, 0xEF, sizeof config.magic);
  PutBigEndian(config.format, 1);
  PutBigEndian(config.restoreCfg, noRestore ? 0 : 1);
  std::size_t dot = version.find('.');
  PutText(config.versionHead, version.substr(0, dot), 8);
  PutText(config.versionTail, dot == std::string::npos ? "" : version.substr(dot + 1), 18);
  std::memcpy(block, &config, sizeof config);
  g_recoveryCfg.data = block;
  g_recoveryCfg.size = sizeof config;
  return 0;
}

int AllocResultBuffer() {
  g_recoveryResult.size = kResultBufferSize;
  g_recoveryResult.data = new (std::nothrow) unsigned char[kResultBufferSize]();
  return g_recoveryResult.data ? 0 : 2;
}

void DownloadFirmwareThread(CBrickfixDlg* dlg) {
  LogPrint("开始下载");
  const std::string model = dlg->m_strModel;
  const bool noRestore = dlg->m_bNoRestoreCfg;
  RomInfo info;
  int code;
  {
    HttpClient http;  // the download reuses the query's connection
    code = QueryLatestRom(info, BuildQueryUrl(model), http);
    if (code == 0 && !IsReleaseFor(info, model)) code = 1;  // refused: nothing is purged
    if (code == 0) code = info.Download(http);
  }
  if (code == 0) {
    LogPrint("下载完成，使用最新固件");
  } else if (dlg->m_bForceDownload == 1) {
    Fatal(dlg, "联网下载固件失败，请退出后重试。");
  } else {
    LogPrint("联网下载固件失败，使用本地固件");
    if (LoadRomFile(info, model) != 0) Fatal(dlg, "准备文件出错！请退出后重试。");
  }
  PrepareServedFiles(dlg, info, noRestore);
}

void PrepareLocalFirmwareThread(CBrickfixDlg* dlg) {
  const std::string model = dlg->m_strModel;
  const std::string expectedMd5 = dlg->m_strStoredMd5;
  const bool noRestore = dlg->m_bNoRestoreCfg;
  RomInfo info;
  if (LoadRomFile(info, model) != 0) Fatal(dlg, "升级文件不存在，请准备好再重试。");
  if (!expectedMd5.empty() && !HasDigest(info, expectedMd5)) {
    // A planted or cut-off file under the newest version's name: it counts
    // as no stored image at all.
    LogPrint("本地固件%s-%s与最新固件的MD5不符，不能使用", model.c_str(), info.version.c_str());
    LogPrint("本地没有固件，强制从互联网下载固件：%s-%s", model.c_str(), info.version.c_str());
    delete[] info.data;
    dlg->m_bForceDownload = 1;
    DownloadFirmwareThread(dlg);
    return;
  }
  PrepareServedFiles(dlg, info, noRestore);
}
