#!/usr/bin/env bash
# Redraws the skin bitmaps (res/skin/) and the application icon (res/icons/)
# with the generator in tools/skingen. Commit the results with the code.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/build.sh >/dev/null
QT_QPA_PLATFORM=offscreen ./build/tools/skingen/splicora-skingen res/skin res/icons
