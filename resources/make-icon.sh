#!/usr/bin/env bash
# Draws the program icon, brickfix-128.png: a router with two antennas, green
# status lights and a green circular "recover" arrow above it, 128 x 128 RGBA
# on a transparent background. Needs ImageMagick (convert). The PNG is kept in
# the repository; run this again only to change the drawing.
set -euo pipefail
cd "$(dirname "$0")"
# The arrow's arc as an open polyline (centre 64,40, radius 18, clockwise from
# 25 to 260 degrees): ImageMagick closes ellipse and arc strokes with a chord.
arc=$(awk 'BEGIN { for (a = 25; a <= 260; a += 5) {
  r = a * 3.14159265 / 180; printf "%.1f,%.1f ", 64 + 18 * cos(r), 40 + 18 * sin(r) } }')
convert -size 128x128 xc:none \
  -stroke '#10181c' -strokewidth 7 -draw "stroke-linecap round line 30,66 20,14" \
  -draw "stroke-linecap round line 98,66 108,14" \
  -stroke '#0a0f12' -strokewidth 2 -fill '#263640' \
  -draw "roundrectangle 8,60 119,112 12,12" \
  -stroke none -fill '#33495a' -draw "roundrectangle 14,66 113,78 6,6" \
  -fill '#00ff00' -draw "circle 26,95 31,95" -draw "circle 44,95 49,95" \
  -draw "circle 62,95 67,95" -fill '#0b3d0b' -draw "circle 80,95 85,95" \
  -fill '#9aa9b2' -draw "rectangle 94,92 108,98" \
  -fill none -stroke '#00e000' -strokewidth 7 \
  -draw "stroke-linecap round stroke-linejoin round polyline $arc" \
  -stroke none -fill '#00e000' -draw "polygon 59,11 74,20 62,33" \
  -define png:color-type=6 PNG32:brickfix-128.png
