// Preparing the files the router fetches, and the two firmware workers.
#pragma once

#include <string>

class CBrickfixDlg;

// The content of "recovery-cfg.bin": 52 bytes, every byte not named zero.
struct RecoveryConfig {
  unsigned char magic[4];       // 0xEF 0xEF 0xEF 0xEF
  unsigned char reserved[4];    // 0
  unsigned char format[4];      // big-endian 1
  char versionHead[9];          // the version before its first ".", at most 8 bytes, NUL-padded
  char versionTail[19];         // the version after its first ".", at most 18 bytes, NUL-padded
  unsigned char restoreCfg[4];  // big-endian 1 when the user configuration is restored
  unsigned char unused[8];
};
static_assert(sizeof(RecoveryConfig) == 52, "the router reads exactly 52 bytes");

// Allocates g_recoveryCfg and fills it for `version`. 0, or 2 without memory.
int BuildRecoveryConfig(const std::string& version, bool noRestore);
// Allocates g_recoveryResult: 1024 zero bytes. 0, or 2 without memory.
int AllocResultBuffer();

// Worker bodies, each run on its own thread with the dialog. Both end by
// entering step 5, or end the process on a fatal failure.
void DownloadFirmwareThread(CBrickfixDlg* dlg);
void PrepareLocalFirmwareThread(CBrickfixDlg* dlg);
