#!/usr/bin/env bash
# Renders the program's icon, varn.svg, as the PNG sizes the desktop and the
# window use (varn-16.png ... varn-256.png, committed beside it). Run after a
# change of varn.svg; needs rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --output "varn-$size.png" varn.svg
done
