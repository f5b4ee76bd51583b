#!/usr/bin/env bash
# Draws the program's PNG icons (48 and 256 pixels) from program/icons/tavrin.svg. Run it after
# changing the SVG and commit the PNGs with it; the build only copies them.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v rsvg-convert >/dev/null; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y --no-install-recommends librsvg2-bin
fi
for size in 48 256; do
  rsvg-convert -w "$size" -h "$size" program/icons/tavrin.svg -o "program/icons/tavrin-$size.png"
done
