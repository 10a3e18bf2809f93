#!/usr/bin/env bash
# Sets everything up and walks through a whole recovery by hand: the real
# terminal window in a "pc" network namespace, a simulated router in a
# "router" namespace and a local firmware cloud. Needs root (namespaces).
# Pass --auto to let the demo answer the questions itself in line mode.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build >/dev/null
exec /usr/bin/python3 tests/e2e/demo.py --build build "$@"
