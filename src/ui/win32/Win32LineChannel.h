// Line mode's channel on Windows handles.
#pragma once

#include <memory>

#include "platform/windows/StdStreams.h"
#include "ui/LineChannel.h"

// Reads `handles.in` on a thread of its own (a console through ReadConsoleW,
// anything else as bytes) and writes to `handles.out` and `handles.err`
// unbuffered. Ctrl-C, Ctrl-Break and closing the console are the cancel
// command. Valid only with input and output.
std::shared_ptr<LineChannel> MakeWin32LineChannel(const StdHandles& handles);
