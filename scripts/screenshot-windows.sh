#!/usr/bin/env bash
# Screenshots of the Windows program's dialog under Wine on a virtual X
# server, so a person can look at it: docs/screenshot-windows.png (the first
# screen), docs/screenshot-windows-refused.png (a refused model answer and its
# message box), docs/screenshot-windows-sysmenu.png (the system menu with the
# About entry) and docs/screenshot-windows-about.png (the About box). Only the
# model menu is used: the answer typed is not a valid model.
#
#   scripts/screenshot-windows.sh [BUILD_DIR]     (default: build-windows)
#
# The program runs in a Wine virtual desktop, where Wine draws the title bar
# and the system menu itself. Needs wine64, xvfb-run, xdotool and ImageMagick's
# import (all in scripts/setup.sh); the Wine prefix is a throw-away one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size=720x440

if [ "${1:-}" != "--inside-x" ]; then
  build=${1:-build-windows}
  case $build in /*) ;; *) build=$root/$build ;; esac
  [ -f "$build/brickfix.exe" ] || { echo "no $build/brickfix.exe: build first (scripts/build-windows.sh)" >&2; exit 1; }
  mkdir -p docs
  exec xvfb-run -a -s "-screen 0 ${size}x24 -dpi 96" "$0" --inside-x "$build/brickfix.exe"
fi

exe=$2
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d)
work=$(mktemp -d)
cleanup() {
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
"$wine" wineboot -i >/dev/null 2>&1
# Wine draws captions, menus and message boxes in faces without Chinese;
# Windows links them to a CJK face, and so does this prefix.
cjk=$(fc-list : file family | grep -m1 -i -E 'wqy-zenhei|NotoSansCJK|NotoSerifCJK' || true)
if [ -n "$cjk" ]; then
  link="$(basename "${cjk%%:*}"),$(echo "${cjk#*: }" | cut -d, -f1)"
  for face in Tahoma "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d "$link" /f >/dev/null 2>&1
  done
fi

# Waits up to 20 s for a window whose name matches $1; prints its id.
wait_window() {
  for _ in $(seq 200); do
    if id=$(xdotool search --name "$1" 2>/dev/null | head -n1) && [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  echo "no window \"$1\" appeared" >&2
  return 1
}
shot() {
  sleep 1
  import -window root "$root/docs/$1"
}

# A scratch working directory: nothing is written next to the sources.
(cd "$work" && exec "$wine" explorer /desktop=Brickfix,$size "$exe") &
desktop=$(wait_window "Wine desktop")
sleep 3  # the dialog inside the desktop
xdotool windowfocus --sync "$desktop" 2>/dev/null || true
shot screenshot-windows.png

xdotool type --delay 80 9
xdotool key Return
shot screenshot-windows-refused.png
xdotool key Return

sleep 1
xdotool key alt+space
shot screenshot-windows-sysmenu.png
xdotool key Up Return
shot screenshot-windows-about.png
xdotool key Escape
echo "saved docs/screenshot-windows*.png"
