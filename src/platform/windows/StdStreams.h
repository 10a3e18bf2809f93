// Standard input, output and error of a program that is a Windows GUI
// program: started from a console without redirection it has none, so it
// attaches to its parent's console (or opens one of its own) when asked.
#pragma once

#include <string_view>

#include "platform/windows/Win32.h"

struct StdHandles {
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
};

// The three standard handles. Where input or output is missing, the process
// attaches to the console of the program that started it, or opens a console
// of its own, and takes the missing ones from that console.
StdHandles OpenStdHandles();

// True when `handle` is a console (then text goes through WriteConsoleW).
bool IsConsoleHandle(HANDLE handle);

// Writes all of `data` (UTF-8) to `handle`: to a console as UTF-16, to a pipe
// or file as the bytes themselves, unbuffered. False when the handle fails.
bool WriteAllTo(HANDLE handle, std::string_view data);
