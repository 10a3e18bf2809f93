#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and runs
# the tests under Wine, headless: test-windows.sh [DIR] [gtest arguments...]
# (default DIR: build-windows). One throw-away Wine prefix serves the whole
# run and is removed afterwards, with the Wine server and the virtual X
# server. Exits non-zero when the build or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" = "--inside-x" ]; then
  # Inside xvfb-run: a window manager, so that Wine's windows map and take
  # the focus at once, then the tests.
  shift
  dir=$1; shift
  if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    wm=$!
    trap 'kill $wm 2>/dev/null || true; wait $wm 2>/dev/null || true' EXIT
  fi
  cd "$dir"
  "$WINE" ./brickfix_tests.exe "$@"
  exit $?
fi

dir=${1:-build-windows}; shift || true
case $dir in /*) ;; *) dir=$root/$dir ;; esac

WINE=${WINE:-}
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -z "$WINE" ] && [ -n "$candidate" ] && [ -x "$candidate" ]; then WINE=$candidate; fi
done
[ -n "$WINE" ] || { echo "wine64 is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
export WINE

start=$(date +%s)
./scripts/build-windows.sh "$dir" -DBRICKFIX_TESTS=ON
built=$(date +%s)

export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/brickfix-wine.XXXXXX")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() {
  "$(dirname "$WINE")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$WINE" wineboot -i >/dev/null 2>&1
"$(dirname "$WINE")/wineserver" -w 2>/dev/null || true
prefixed=$(date +%s)

status=0
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" --inside-x "$dir" "$@" || status=$?
done=$(date +%s)
echo "Windows tests: build $((built - start)) s, Wine prefix $((prefixed - built)) s," \
  "tests $((done - prefixed)) s; status $status"
exit $status
