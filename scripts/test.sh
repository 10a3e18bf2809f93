#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the plain build, an
# AddressSanitizer+UBSan build and a ThreadSanitizer build, the Windows
# program's tests under Wine, and the fuzzers.
# No test is retried: a test that fails once fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)
phase() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

# The Windows program first: its own tests under Wine, and the build that the
# plain run's Wine scenarios and installer test use.
phase "Windows program under Wine"
./scripts/test-windows.sh build-windows

# The plain build is made for the tests: the end-to-end scenarios shorten the
# router's 63 s of upload silence through it.
phase "plain build"
./scripts/build.sh build -DBRICKFIX_TEST_TIMING=ON
phase "plain tests"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 900)

# Sanitizer builds run the fast tests; the namespace, real-peer and end-to-end
# suites have run above.
slow='Netns|RealPeer|EndToEnd|Slow|Tmux'
phase "AddressSanitizer + UBSan"
./scripts/build.sh build-asan -DBRICKFIX_SANITIZE=address
(cd build-asan && ctest --output-on-failure -j "$jobs" -E "$slow")
phase "ThreadSanitizer"
./scripts/build.sh build-tsan -DBRICKFIX_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs" -E "$slow")

phase "fuzzers"
./fuzz/run.sh
phase "done"
exit 0
