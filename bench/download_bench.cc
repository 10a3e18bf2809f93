// Queries, downloads, verifies and saves one release the way the download
// worker does (one HTTP client for both requests), and reports the time and
// the process's memory. Run by download.sh, the Windows build under Wine.
#include <chrono>
#include <cstdio>
#include <string>

#include "ProcessMemory.h"
#include "firmware/CloudQuery.h"
#include "firmware/HttpClient.h"
#include "firmware/RomInfo.h"

namespace {

// The HTTP client alone: GETs `url` and drops the body. Prints the seconds
// and the bytes.
int HttpOnly(const char* url) {
  std::size_t bytes = 0;
  auto start = std::chrono::steady_clock::now();
  HttpClient http;
  HttpClient::Result result = http.Get(url, [&bytes](const char*, std::size_t length) {
    bytes += length;
    return true;
  });
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (result != HttpClient::Result::kComplete) return 1;
  std::printf("%.3f %zu\n", seconds.count(), bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--http-only") return HttpOnly(argv[2]);
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: brickfix_download_bench QUERY_URL   (saves into ./Rom)\n"
                 "       brickfix_download_bench --http-only URL\n");
    return 2;
  }
  long before = ResidentKib();
  auto start = std::chrono::steady_clock::now();
  RomInfo info;
  HttpClient http;
  int code = QueryLatestRom(info, argv[1], http);
  if (code != 0) {
    std::fprintf(stderr, "query failed with code %d\n", code);
    return 1;
  }
  code = info.Download(http);
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (code != 0) {
    std::fprintf(stderr, "download failed with code %d\n", code);
    return 1;
  }
  // Machine-readable: seconds, peak resident KiB, resident KiB before the
  // query, image bytes.
  std::printf("%.3f %ld %ld %d\n", seconds.count(), PeakResidentKib(), before, info.size);
  return 0;
}
