// brickfix --support-bundle [FILE]: one tar.gz of the latest run in the
// state folder (timeline, diagnostics, capture, the adapter's journal, the
// version and the system), for whoever helps the operator.
#pragma once

#include <string>

// Writes the bundle to `file` (by default brickfix-support-<time>.tar.gz in
// the working directory) and says where it is on standard output; why not,
// on standard error. `version` is the program's version line. Returns the
// exit status: 0 when written, 1 otherwise.
int WriteSupportBundleFile(const std::string& file, const std::string& version);
