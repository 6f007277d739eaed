#!/usr/bin/env bash
# Takes docs/main-window.png: the program on a virtual 1280x800 X display (Xvfb), as it
# looks right after start. Needs xvfb (scripts/deps.sh installs it) and imagemagick.
set -euo pipefail
cd "$(dirname "$0")/.."

program=${1:-build/bin/ombrex-ftp}
if [ ! -x "$program" ]; then
  echo "Build first: cmake -S . -B build -G Ninja && cmake --build build --target ombrex-ftp" >&2
  exit 1
fi
if [ ! -x /usr/bin/import ]; then
  echo "Needs imagemagick: apt-get install imagemagick" >&2
  exit 1
fi

xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$1" &
  pid=$!
  sleep 3
  /usr/bin/import -window root docs/main-window.png
  kill "$pid"
' _ "$program"
echo "Wrote docs/main-window.png"
