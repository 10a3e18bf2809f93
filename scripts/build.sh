#!/usr/bin/env bash
# Configures and builds one flavour: build.sh [DIR] [extra cmake args...]
# The test timing is off unless the extra arguments turn it on, so a build
# for use or for a package never reads it, whatever an earlier configure set.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DBRICKFIX_TEST_TIMING=OFF "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir"
exit 0
