#include "ProcessMemory.h"

#include <windows.h>
#include <psapi.h>

namespace {

PROCESS_MEMORY_COUNTERS Counters() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) counters = {};
  return counters;
}

}  // namespace

long ResidentKib() { return static_cast<long>(Counters().WorkingSetSize / 1024); }
long PeakResidentKib() { return static_cast<long>(Counters().PeakWorkingSetSize / 1024); }
