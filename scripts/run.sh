#!/usr/bin/env bash
# Installs what is missing, builds Ombrex FTP and starts it (needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target ombrex-ftp
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Built build/bin/ombrex-ftp. It is a desktop program: start it from a graphical" >&2
  echo "session (X11 or Wayland); no display was found here." >&2
  exit 1
fi
exec build/bin/ombrex-ftp "$@"
