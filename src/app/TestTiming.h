// Timing that the end-to-end tests shorten. Only a build configured with
// -DBRICKFIX_TEST_TIMING=ON reads BRICKFIX_TEST_UPLOAD_WAIT_MS (1 to 1000)
// from the environment; every other build, the released program included,
// never reads it and keeps the router's full 63 s of upload silence.
#pragma once

#include <chrono>

// The first wait for the router's next upload datagram (1 s in the program).
std::chrono::microseconds UploadFirstWait();

// True in a build that reads the test timing from the environment.
bool TestTimingBuild();
