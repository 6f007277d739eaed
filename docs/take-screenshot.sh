#!/usr/bin/env bash
# Takes the README's pictures: the program on a virtual 1280x800 X display (Xvfb), connected
# to a local pyftpdlib with a few sample files (the driver tests/app/ScreenshotDriver.cpp
# starts both).
#   docs/take-screenshot.sh [DRIVER] [main|transfer]
#   main      docs/main-window.png: the connected main window (the default)
#   transfer  docs/transfer.png: a large download under way, the transfer status window over
#             the main window
# Needs xvfb and pyftpdlib (scripts/deps.sh installs them). The screen is taken with
# ImageMagick's import where it is installed, through Qt otherwise; where openbox is
# installed it runs too, so that the windows have their frames and captions. Neither is
# needed for building or testing: install them by hand for the pictures.
set -euo pipefail
cd "$(dirname "$0")/.."

driver=${1:-build/bin/app_screenshot}
mode=${2:-main}
case "$mode" in
  main) output=docs/main-window.png ;;
  transfer) output=docs/transfer.png ;;
  *) echo "unknown mode $mode (main or transfer)" >&2; exit 2 ;;
esac
if [ ! -x "$driver" ]; then
  echo "Build first: cmake -S . -B build -G Ninja && cmake --build build --target app_screenshot" >&2
  exit 1
fi

# Runs inside the virtual display: the window manager first (when there is one), then the
# driver; the manager ends with the driver.
inside='
  wm=
  if command -v openbox >/dev/null 2>&1; then
    openbox >/dev/null 2>&1 &
    wm=$!
    sleep 1
  fi
  rc=0
  "$@" || rc=$?
  if [ -n "$wm" ]; then kill "$wm" 2>/dev/null || true; fi
  exit $rc
'
xvfb-run -a -s "-screen 0 1280x800x24" bash -c "$inside" screenshot "$driver" "$output" "$mode"
