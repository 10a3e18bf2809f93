// The in-memory files of the TFTP service. The preparation worker fills them
// before the listener starts; the blocks live until the process ends.
#pragma once

struct ServedFile {
  unsigned char* data = nullptr;
  int size = 0;  // length (for the result buffer: its capacity)
};

extern ServedFile g_recoveryBin;     // "recovery.bin": the firmware image
extern ServedFile g_recoveryCfg;     // "recovery-cfg.bin": the 52-byte RecoveryConfig
extern ServedFile g_recoveryResult;  // "recovery-result": 1024-byte receive buffer
