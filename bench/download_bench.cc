// Downloads, verifies and saves one release the way the download worker does,
// and reports the time and the process's peak memory. Run by download.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "firmware/CloudQuery.h"
#include "firmware/RomInfo.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: brickfix_download_bench QUERY_URL   (saves into ./Rom)\n");
    return 2;
  }
  RomInfo info;
  int code = QueryLatestRom(info, argv[1]);
  if (code != 0) {
    std::fprintf(stderr, "query failed with code %d\n", code);
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  code = info.Download();
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (code != 0) {
    std::fprintf(stderr, "download failed with code %d\n", code);
    return 1;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  // Machine-readable: seconds, peak resident KiB, image bytes.
  std::printf("%.3f %ld %d\n", seconds.count(), usage.ru_maxrss, info.size);
  return 0;
}
