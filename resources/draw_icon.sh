#!/usr/bin/env bash
# Draws the launcher's icon (a hazel-green tile with a golden Z) into the .ico file given, with ImageMagick:
# five images of 32 bits per pixel, 256 x 256 stored as PNG, then 128, 64, 32 and 16.
set -euo pipefail
out=$1
tile=$(mktemp --suffix=.png)
trap 'rm -f "$tile"' EXIT
convert -size 256x256 xc:none \
  -fill '#2f7d4a' -draw 'roundrectangle 8,8 247,247 48,48' \
  -fill '#e9c46a' -draw 'polygon 64,64 192,64 192,92 108,172 192,172 192,200 64,200 64,172 148,92 64,92' \
  -fill '#ffffff' -draw 'circle 196,60 212,60' \
  -depth 8 "$tile"
convert "$tile" -depth 8 -define icon:auto-resize=256,128,64,32,16 "$out"
