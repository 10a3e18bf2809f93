// Console output for code that has no dialog at hand (workers, transfers).
#pragma once

#include <atomic>

class CBrickfixDlg;

// The one main dialog, set by the console set-up and never cleared.
extern std::atomic<CBrickfixDlg*> g_pMainDlg;

// Formats once and appends the result as a line / without a line end. A "%"
// in the result is shown as it is. Does nothing before the console is set up.
void LogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogPrintInline(const char* format, ...) __attribute__((format(printf, 1, 2)));
