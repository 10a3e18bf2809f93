#include "ProcessMemory.h"

#include <cstring>
#include <fstream>
#include <string>

namespace {

// A "Name:   123 kB" line of /proc/self/status, in KiB (0 when missing).
long StatusKib(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, std::strlen(name), name) == 0 && line[std::strlen(name)] == ':') {
      return std::stol(line.substr(std::strlen(name) + 1));
    }
  }
  return 0;
}

}  // namespace

long ResidentKib() { return StatusKib("VmRSS"); }
long PeakResidentKib() { return StatusKib("VmHWM"); }
