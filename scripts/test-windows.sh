#!/usr/bin/env bash
# Builds the Windows program and its tests (scripts/build-windows.sh) and runs
# the tests under Wine, headless: test-windows.sh [DIR] [gtest arguments...]
# (default DIR: build-windows). One throw-away Wine prefix serves the whole
# run and is removed afterwards, with the Wine server and the virtual X
# server. Exits non-zero when the build or a test fails.
#
# First the import table of brickfix.exe: only KnownDLLs (tests/pkg/pe_imports.py).
# The firmware tests talk to local clouds (brickfix-cloud, built from a Linux
# build: BRICKFIX_LINUX_BUILD, default build) on 127.0.0.1 and 127.0.0.2 over
# HTTPS. Wine trusts the certificates in /etc/ssl/certs/ca-certificates.crt,
# so Wine runs in a private mount namespace (root) where that file also holds
# the clouds' test CA; without one, those tests are skipped.
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

if [ "${1:-}" = "--inside-namespace" ]; then
  # In the private mount namespace: the CA bundle with the test CA, a fresh
  # prefix (Wine builds its root store from the bundle), then the tests.
  shift
  bundle=$1; dir=$2; shift 2
  if [ -n "$bundle" ]; then mount --bind "$bundle" /etc/ssl/certs/ca-certificates.crt; fi
  trap '"$(dirname "$WINE")/wineserver" -k 2>/dev/null || true' EXIT
  start=$(date +%s)
  "$WINE" wineboot -i >/dev/null 2>&1
  "$(dirname "$WINE")/wineserver" -w 2>/dev/null || true
  echo "Wine prefix: $(($(date +%s) - start)) s"
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" --inside-x "$dir" "$@"
  exit $?
fi

dir=${1:-build-windows}; shift || true
case $dir in /*) ;; *) dir=$root/$dir ;; esac
linux=${BRICKFIX_LINUX_BUILD:-build}
case $linux in /*) ;; *) linux=$root/$linux ;; esac

WINE=${WINE:-}
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -z "$WINE" ] && [ -n "$candidate" ] && [ -x "$candidate" ]; then WINE=$candidate; fi
done
[ -n "$WINE" ] || { echo "wine64 is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
export WINE

start=$(date +%s)
./scripts/build-windows.sh "$dir" -DBRICKFIX_TESTS=ON -DBRICKFIX_TEST_TIMING=ON
if [ ! -f "$linux/build.ninja" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$linux" -G Ninja "${launcher[@]}" >/dev/null
fi
ninja -C "$linux" brickfix-cloud >/dev/null
built=$(date +%s)
# The program imports only KnownDLLs the ordinary way (no Wine needed).
python3 tests/pkg/pe_imports.py "$dir/brickfix.exe"

work=$(mktemp -d "${TMPDIR:-/tmp}/brickfix-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
clouds=()
cleanup() {
  local pid
  for pid in "${clouds[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  "$(dirname "$WINE")/wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The clouds, one per kind, sharing one releases folder; each writes its
# address to KIND.address and its requests to KIND.log.
cloud_bin=$linux/tools/cloud/brickfix-cloud
mkdir -p "$work/clouds/releases"
"$cloud_bin" --make-certs "$work/certs" --host 127.0.0.1 >/dev/null
start_cloud() {  # KIND ADDRESS ARGS...
  local kind=$1 address=$2; shift 2
  "$cloud_bin" --releases "$work/clouds/releases" --listen "$address" --port 0 \
    --request-log "$work/clouds/$kind.log" "$@" > "$work/clouds/$kind.out" &
  clouds+=($!)
}
start_cloud server 127.0.0.1 --cert "$work/certs/server.pem" --key "$work/certs/server-key.pem"
start_cloud untrusted 127.0.0.1 --cert "$work/certs/untrusted.pem" --key "$work/certs/untrusted-key.pem"
start_cloud elsewhere 127.0.0.2 --cert "$work/certs/server.pem" --key "$work/certs/server-key.pem"
start_cloud plain 127.0.0.1 --plain
for kind in server untrusted elsewhere plain; do
  for _ in $(seq 100); do
    grep -q '^listening on ' "$work/clouds/$kind.out" && break
    sleep 0.1
  done
  sed -n 's/^listening on //p' "$work/clouds/$kind.out" > "$work/clouds/$kind.address"
  [ -s "$work/clouds/$kind.address" ] || { echo "the $kind cloud did not start" >&2; exit 1; }
done

bundle=
if unshare -m --propagation private true 2>/dev/null; then
  bundle=$work/ca-certificates.crt
  cat /etc/ssl/certs/ca-certificates.crt "$work/certs/ca.pem" > "$bundle"
  export BRICKFIX_TEST_CLOUDS="Z:$work/clouds"
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
  namespace=(unshare -m --propagation private)
else
  echo "no private mount namespace (needs root): the firmware tests against the local cloud are skipped" >&2
  namespace=()
fi

status=0
"${namespace[@]}" "$0" --inside-namespace "$bundle" "$dir" "$@" || status=$?
done=$(date +%s)
echo "Windows tests: build $((built - start)) s, prefix and tests $((done - built)) s; status $status"
exit $status
