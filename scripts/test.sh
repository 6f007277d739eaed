#!/usr/bin/env bash
# Installs what is missing, builds Ombrex FTP and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
export QT_QPA_PLATFORM=offscreen
# deps.sh installed every server and proxy the tests talk to: one that fails to start is
# a failure here, not a skipped test.
export OMBREX_REQUIRE_PEERS=1
(cd build && ctest -j2 --output-on-failure)

# The same suite once more under AddressSanitizer and UndefinedBehaviorSanitizer (a clang
# tree, build-sanitize/), then every fuzz target for a minute on the committed seeds.
# OMBREX_FUZZ_SECONDS sets the minute (0 skips fuzzing).
scripts/sanitize.sh "${OMBREX_FUZZ_SECONDS:-60}"
