#!/usr/bin/env bash
# Installs what is missing, builds Ombrex FTP and starts it (needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target ombrex-ftp
exec build/bin/ombrex-ftp "$@"
