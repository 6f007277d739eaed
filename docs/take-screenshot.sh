#!/usr/bin/env bash
# Takes docs/main-window.png: the program on a virtual 1280x800 X display (Xvfb), connected
# to a local pyftpdlib with a few sample files (the driver tests/app/ScreenshotDriver.cpp
# starts both). Needs xvfb and pyftpdlib (scripts/deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

driver=${1:-build/bin/app_screenshot}
if [ ! -x "$driver" ]; then
  echo "Build first: cmake -S . -B build -G Ninja && cmake --build build --target app_screenshot" >&2
  exit 1
fi

xvfb-run -a -s "-screen 0 1280x800x24" "$driver" docs/main-window.png
