#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64: build-windows.sh [DIR] [extra cmake args...]
# The result is DIR/brickfix.exe (default DIR: build-windows), with its tests DIR/brickfix_tests.exe:
# each a self-contained program, no MinGW DLL has to go with it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-windows}; shift || true
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DBRICKFIX_TEST_TIMING=OFF \
  "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir"
