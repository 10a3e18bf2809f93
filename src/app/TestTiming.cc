#include "app/TestTiming.h"

#include <cstdlib>

#ifndef BRICKFIX_TEST_TIMING
#define BRICKFIX_TEST_TIMING 0
#endif

bool TestTimingBuild() { return BRICKFIX_TEST_TIMING != 0; }

std::chrono::microseconds UploadFirstWait() {
  constexpr std::chrono::microseconds kProgram = std::chrono::seconds(1);
  if (!TestTimingBuild()) return kProgram;
  const char* text = std::getenv("BRICKFIX_TEST_UPLOAD_WAIT_MS");
  if (!text || !*text) return kProgram;
  char* end = nullptr;
  long ms = std::strtol(text, &end, 10);
  if (*end != '\0' || ms < 1 || ms > 1000) return kProgram;
  return std::chrono::milliseconds(ms);
}
