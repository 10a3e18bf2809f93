#!/usr/bin/env bash
# Takes screenshots of the real desktop window under a virtual X server, so a
# person can look at it: docs/screenshot-gui.png (the first screen),
# docs/screenshot-gui-refused.png (a refused model answer and its message
# box) and docs/screenshot-gui-about.png (the About box). Only the model menu is used: the answer typed is not a valid model, so
# the program never reaches the firmware or network steps.
#
#   scripts/screenshot-gui.sh [BUILD_DIR]     (default: build)
#
# Needs xvfb-run, ImageMagick's import, and for a title bar and the typed
# answer openbox and xdotool (all in scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" != "--inside-x" ]; then
  build=${1:-build}
  binary="$root/$build/src/brickfix"
  [ -x "$binary" ] || { echo "no $binary: build first (scripts/build.sh $build)" >&2; exit 1; }
  mkdir -p docs
  exec xvfb-run -a -s "-screen 0 720x440x24 -dpi 96" "$0" --inside-x "$binary"
fi

binary=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 10 s for a window whose title is $1; prints its id.
wait_window() {
  for _ in $(seq 100); do
    if id=$(xdotool search --name "^$1\$" 2>/dev/null | head -n1) && [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  echo "no window \"$1\" appeared" >&2
  return 1
}

if command -v openbox >/dev/null; then
  openbox >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
fi

# A scratch working directory and state folder: nothing is written next to
# the sources or in the home folder.
(cd "$work" && XDG_STATE_HOME="$work/state" exec "$binary" --ui=gui) &
pids+=($!)
window=$(wait_window "Terno 修复助手")
xdotool windowmove --sync "$window" 40 60 || true
sleep 1
import -window root "$root/docs/screenshot-gui.png"

if command -v xdotool >/dev/null; then
  xdotool windowactivate --sync "$window" type --delay 50 9
  xdotool key --window "$window" Return
  box=$(wait_window Brickfix)   # the message box
  sleep 0.5
  import -window root "$root/docs/screenshot-gui-refused.png"
  xdotool windowactivate --sync "$box" key Return
  sleep 0.5
  xdotool windowactivate --sync "$window" key alt+a
  wait_window "关于Terno 修复工具" >/dev/null
  sleep 0.5
  import -window root "$root/docs/screenshot-gui-about.png"
fi
echo "saved docs/screenshot-gui*.png"
exit 0
