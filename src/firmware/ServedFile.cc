#include "firmware/ServedFile.h"

ServedFile g_recoveryBin;
ServedFile g_recoveryCfg;
ServedFile g_recoveryResult;
