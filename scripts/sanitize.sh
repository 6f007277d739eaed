#!/usr/bin/env bash
# The sanitizer run: ONE clang tree with AddressSanitizer and UndefinedBehaviorSanitizer
# builds the whole test suite and the libFuzzer targets (the libraries carry the fuzzer's
# coverage hooks, which the test programs simply leave unused), runs every test in it, then
# runs each fuzz target for a while on the committed seeds, two targets at a time.
#
#   scripts/sanitize.sh [seconds-per-fuzz-target]     (default 60; 0 skips fuzzing)
#
# Environment:
#   SANITIZE_BUILD_DIR  the tree (default build-sanitize; configured here when missing)
#   SANITIZE_JOBS       ninja and ctest jobs (default 2)
#   SANITIZE_OUT        logs and crash inputs (default a new folder under /tmp)
# The fuzzers read the seeds under tests/fuzz/corpus/<target>/ and write what they find
# into a scratch folder, never into the repository. A crash input is kept in the output
# folder; commit it as a regression seed once the fault is mended.
# Exit status: 0 when the tests passed and no fuzz target failed, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
case "$seconds" in
'' | *[!0-9]*) echo "usage: scripts/sanitize.sh [seconds-per-fuzz-target]" >&2; exit 2 ;;
esac
build=${SANITIZE_BUILD_DIR:-$root/build-sanitize}
jobs=${SANITIZE_JOBS:-2}
out=${SANITIZE_OUT:-$(mktemp -d /tmp/ombrex-sanitize.XXXXXX)}
mkdir -p "$out"
start=$(date +%s)
elapsed() { echo $(( $(date +%s) - $1 )); }

# Sanitizer behaviour for every program run below (tests, servers' helpers, fuzzers).
# Reports go to the programs' stderr, which ctest and the fuzz logs keep.
supp="$root/tests/sanitizers"
export ASAN_OPTIONS="detect_leaks=1:strict_init_order=1:detect_stack_use_after_return=1:abort_on_error=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$supp/ubsan.supp${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

# ---- configure and build ----
if [ ! -f "$build/build.ninja" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DOMBREX_SANITIZE=ON -DOMBREX_FUZZ=ON -DOMBREX_BUILD_BENCH=OFF "${launcher[@]}" \
        >"$out/configure.log" 2>&1 \
        || { tail -n 30 "$out/configure.log"; echo "sanitize: configure failed"; exit 1; }
fi
t=$(date +%s)
ninja -C "$build" -j"$jobs" >"$out/build.log" 2>&1 \
    || { grep -E 'error|FAILED' "$out/build.log" | head -n 40; echo "sanitize: build failed (log $out/build.log)"; exit 1; }
build_secs=$(elapsed "$t")
echo "sanitize: built in $build_secs s"

# ---- the test suite ----
t=$(date +%s)
(cd "$build" && ctest -j"$jobs" --output-on-failure) >"$out/ctest.log" 2>&1
ctest_rc=$?
ctest_secs=$(elapsed "$t")
grep -E 'tests passed|tests failed|Total Test time' "$out/ctest.log"
if [ $ctest_rc -ne 0 ]; then
    sed -n '/The following tests FAILED/,$p' "$out/ctest.log" | head -n 40
    grep -E '^(SUMMARY|==[0-9]+==ERROR): |runtime error: ' "$out/ctest.log" | sort | uniq -c | head -n 20
fi
echo "sanitize: tests ran in $ctest_secs s (log $out/ctest.log)"

# ---- fuzzing ----
fuzz_failed=0
fuzz_secs=0
if [ "$seconds" -gt 0 ]; then
    targets=()
    for f in tests/fuzz/*.cmake; do
        targets+=("$(basename "$f" .cmake)")
    done
    # One target: a scratch corpus first (libFuzzer writes new inputs only into its first
    # folder), the committed seeds second, read only.
    fuzz_one() {
        # (One local per line: bash expands all words of a "local" before assigning any.)
        local name=$1
        local scratch="$out/corpus-$name"
        local seeds=()
        mkdir -p "$scratch" "$out/crashes-$name"
        [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
        "$build/bin/${name}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$out/crashes-$name/" "$scratch" "${seeds[@]}" \
            >"$out/fuzz-$name.log" 2>&1
        echo $? >"$out/fuzz-$name.rc"
    }
    t=$(date +%s)
    running=0
    for target in "${targets[@]}"; do
        if [ $running -ge 2 ]; then
            wait -n
            running=$((running - 1))
        fi
        fuzz_one "$target" &
        running=$((running + 1))
    done
    wait
    fuzz_secs=$(elapsed "$t")
    printf '%-12s %12s %10s  %s\n' target executions exec/s result
    for target in "${targets[@]}"; do
        log="$out/fuzz-$target.log"
        rc=$(cat "$out/fuzz-$target.rc" 2>/dev/null || echo 1)
        execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
        rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
        if [ "$rc" -eq 0 ]; then
            result=ok
        else
            result="FAILED (exit $rc, log $log)"
            fuzz_failed=1
        fi
        printf '%-12s %12s %10s  %s\n' "$target" "${execs:-?}" "${rate:-?}" "$result"
        if [ "$rc" -ne 0 ]; then
            grep -E 'ERROR: |SUMMARY: |_fuzz: |runtime error' "$log" | head -n 10 | sed 's/^/    /'
            for c in "$out/crashes-$target"/*; do
                [ -f "$c" ] && echo "    crash input: $c"
            done
        fi
        rm -rf "$out/corpus-$target"
    done
    echo "sanitize: fuzzed ${#targets[@]} targets for $seconds s each in $fuzz_secs s"
fi

echo "sanitize: total $(elapsed "$start") s (build $build_secs, tests $ctest_secs, fuzz $fuzz_secs); logs in $out"
[ $ctest_rc -eq 0 ] && [ $fuzz_failed -eq 0 ]
