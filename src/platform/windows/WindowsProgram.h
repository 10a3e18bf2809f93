// The whole Windows program but for its firmware operations: the command
// line, the dialog or line mode, the adapters and the TFTP service.
#pragma once

#include "app/Ports.h"

// Runs the program with `firmware` (which lives until the process ends) and
// ends the process; returns only the status of a run that never began. Tests
// may pass a TFTP service of their own.
int RunWindowsProgram(int argc, char** argv, IFirmwareOps* firmware, ITftpOps* tftp = nullptr);
