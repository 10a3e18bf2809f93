// The observer as the program runs it while it serves, for the TFTP
// benchmark: each system has its own (bench/<system>/BenchObserver.cc).
#pragma once

#include <string>

class CBrickfixDlg;
class IObserver;

// An observer that watches `adapter` with the system's link monitor, keeps
// its timeline and capture in a new folder in `dir`, and, where the system
// can, is handed the adapter's frames by the network helper's capture, as in
// a run. Null, with the reason in `error`, when it cannot be had here.
// Called while the process has a single thread.
IObserver* StartBenchObserver(const std::string& adapter, const std::string& dir, std::string& error);
// Begins the observer's wait for `dlg`, as the wizard does once the address is set.
void BeginBenchWait(IObserver& observer, CBrickfixDlg* dlg, const std::string& adapter);
