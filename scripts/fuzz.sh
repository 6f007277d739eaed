#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a while on a copy of
# its corpus, printing the executions per target and any crash.
#
#   scripts/fuzz.sh [seconds-per-target] [target ...]
#
# Targets are the tests/fuzz/<name>.cmake files (all by default). Environment:
#   FUZZ_BUILD_DIR  build tree (default build-fuzz)
#   FUZZ_OUT        where crash inputs and logs go (default a new folder under /tmp)
#   FUZZ_JOBS       ninja jobs (default 2)
# Exit status 1 when a target crashed, leaked, timed out or could not run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
out=${FUZZ_OUT:-$(mktemp -d /tmp/ombrex-fuzz.XXXXXX)}
jobs=${FUZZ_JOBS:-2}
mkdir -p "$out"

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for f in tests/fuzz/*.cmake; do
        targets+=("$(basename "$f" .cmake)")
    done
fi

if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DOMBREX_FUZZ=ON -DOMBREX_BUILD_BENCH=OFF >"$out/configure.log" 2>&1 \
        || { cat "$out/configure.log"; echo "fuzz: configure failed"; exit 1; }
fi
start=$(date +%s)
ninja -C "$build" -j"$jobs" "${targets[@]/%/_fuzz}" >"$out/build.log" 2>&1 \
    || { tail -n 40 "$out/build.log"; echo "fuzz: build failed"; exit 1; }
echo "fuzz: built ${#targets[@]} targets in $(( $(date +%s) - start )) s"

failed=0
printf '%-12s %12s %10s %8s  %s\n' target executions exec/s corpus result
for t in "${targets[@]}"; do
    bin="$build/bin/${t}_fuzz"
    corpus=$(mktemp -d "$out/corpus-$t.XXXXXX")
    if [ -d "tests/fuzz/corpus/$t" ]; then
        cp -r "tests/fuzz/corpus/$t/." "$corpus/"
    fi
    log="$out/$t.log"
    mkdir -p "$out/crashes-$t"
    # Leaks are checked once at the end of the run only (the targets keep their loop
    # objects alive on purpose); -timeout makes a hang a finding.
    "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$out/crashes-$t/" "$corpus" >"$log" 2>&1
    rc=$?
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
    rate=$(grep -o 'exec/s: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
    files=$(find "$corpus" -type f | wc -l)
    if [ "$rc" -eq 0 ]; then
        result=ok
    else
        result="FAILED (exit $rc, log $log)"
        failed=1
    fi
    printf '%-12s %12s %10s %8s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "$files" "$result"
    if [ "$rc" -ne 0 ]; then
        grep -E 'ERROR: |SUMMARY: |fuzz: |Test unit written|runtime error' "$log" | head -n 20 | sed 's/^/    /'
        for c in "$out/crashes-$t"/*; do
            [ -f "$c" ] && echo "    crash input: $c"
        done
    fi
    rm -rf "$corpus"
done
echo "fuzz: logs and crash inputs in $out"
exit $failed
