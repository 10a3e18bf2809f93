#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the plain build, an
# AddressSanitizer+UBSan build and a ThreadSanitizer build, and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)

./scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs" --timeout 900 --repeat until-pass:2)

# Sanitizer builds run the fast tests; the namespace, real-peer and end-to-end
# suites have run above.
slow='Netns|RealPeer|EndToEnd|Slow|Tmux'
./scripts/build.sh build-asan -DBRICKFIX_SANITIZE=address
(cd build-asan && ctest --output-on-failure -j "$jobs" -E "$slow")
./scripts/build.sh build-tsan -DBRICKFIX_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs" -E "$slow")

if [ -x fuzz/run.sh ]; then ./fuzz/run.sh; fi
