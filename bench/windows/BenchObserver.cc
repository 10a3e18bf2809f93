#include "BenchObserver.h"

IObserver* StartBenchObserver(const std::string&, const std::string&, std::string& error) {
  error = "the Windows program has no observer yet";
  return nullptr;
}

void BeginBenchWait(IObserver&, CBrickfixDlg*, const std::string&) {}
