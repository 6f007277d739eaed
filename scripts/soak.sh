#!/usr/bin/env bash
# Soak tests: many sessions against a local server, watching for failures and for resources
# that keep growing.
#
#   scripts/soak.sh [--cycles N] [--parallel P] [part ...]
#
# Parts (all by default, in this order):
#   oftp       N cycles of oftp processes (ls, get, put; each its own process and session)
#              against a local pyftpdlib, P cycles at a time, passive and active; files are
#              compared byte for byte and the server's open descriptors are sampled.
#   inprocess  bench/soak's soak_inprocess: ONE TFtpClient in one process runs N connect /
#              list / get / put / quit cycles and samples its descriptors, threads and RSS.
#   gui        the main window soak (GUI_CYCLES cycles, default 200, offscreen). It runs the
#              program named by SOAK_GUI_CMD, or <build>/bin/soak_gui when that target exists;
#              otherwise the part is skipped. The hook gets the cycle count as its only
#              argument, must exit 0 on success and should print first/last/max figures.
# Environment: SOAK_BUILD_DIR (default build-soak; configured and built here when missing).
# Exit status 1 when a part failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cycles=1000
parallel=4
gui_cycles=${GUI_CYCLES:-200}
parts=()
while [ $# -gt 0 ]; do
    case "$1" in
    --cycles) cycles=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    oftp | inprocess | gui) parts+=("$1"); shift ;;
    *) echo "usage: scripts/soak.sh [--cycles N] [--parallel P] [oftp|inprocess|gui ...]" >&2; exit 2 ;;
    esac
done
[ ${#parts[@]} -eq 0 ] && parts=(oftp inprocess gui)

build=${SOAK_BUILD_DIR:-$root/build-soak}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
ninja -C "$build" -j2 oftp soak_inprocess >/dev/null || { echo "soak: build failed"; exit 1; }

work=$(mktemp -d /tmp/ombrex-soak.XXXXXX)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failed=0

fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

part_oftp() {
    mkdir -p "$work/root" "$work/local"
    head -c 262144 /dev/urandom >"$work/root/soak-get.bin"
    head -c 196608 /dev/urandom >"$work/local/put.bin"
    /usr/bin/python3 tests/servers/pyftpd_server.py --root "$work/root" --user tester --password secret \
        >"$work/server.out" 2>"$work/server.err" &
    server_pid=$!
    local port=
    for _ in $(seq 100); do
        port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/server.out")
        [ -n "$port" ] && break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "oftp: pyftpdlib did not start"; cat "$work/server.err"; return 1
    fi
    local oftp="$build/bin/oftp"
    # One cycle: list, download and compare, upload and compare; three sessions.
    cycle() {
        local i=$1 mode=--passive dir="$work/local/$1"
        [ $((i % 2)) -eq 1 ] && mode=--active
        mkdir -p "$dir"
        local common=(--port "$port" --user tester --password secret "$mode" --binary 127.0.0.1)
        "$oftp" "${common[@]}" ls >"$dir/ls.out" 2>"$dir/err" || { echo "cycle $i ls failed: $(tail -1 "$dir/err")"; return 1; }
        grep -q 'soak-get.bin' "$dir/ls.out" || { echo "cycle $i ls: file missing"; return 1; }
        "$oftp" "${common[@]}" get soak-get.bin "$dir/get.bin" 2>"$dir/err" || { echo "cycle $i get failed: $(tail -1 "$dir/err")"; return 1; }
        cmp -s "$dir/get.bin" "$work/root/soak-get.bin" || { echo "cycle $i get: content differs"; return 1; }
        "$oftp" "${common[@]}" put "$work/local/put.bin" "put-$i.bin" 2>"$dir/err" || { echo "cycle $i put failed: $(tail -1 "$dir/err")"; return 1; }
        cmp -s "$work/root/put-$i.bin" "$work/local/put.bin" || { echo "cycle $i put: content differs"; return 1; }
        rm -rf "$dir" "$work/root/put-$i.bin"
    }
    local start=$(date +%s) done=0 bad=0 first_fd=$(fd_count "$server_pid") max_fd=0 fd
    echo "oftp: $cycles cycles, $parallel at a time, pyftpdlib on port $port"
    printf '%8s %10s %9s\n' cycles server_fds failures
    printf '%8d %10d %9d\n' 0 "$first_fd" 0
    while [ $done -lt "$cycles" ]; do
        local batch=$(( cycles - done < parallel ? cycles - done : parallel )) pids=() k
        for k in $(seq 1 $batch); do
            cycle $((done + k)) >"$work/cycle-$k.out" 2>&1 &
            pids+=($!)
        done
        for k in $(seq 1 $batch); do
            if ! wait "${pids[$((k - 1))]}"; then
                bad=$((bad + 1))
                [ $bad -le 10 ] && cat "$work/cycle-$k.out"
            fi
        done
        done=$((done + batch))
        if [ $((done % 100)) -lt "$parallel" ] || [ $done -ge "$cycles" ]; then
            sleep 0.2   # the server closes its side of the last sessions
            fd=$(fd_count "$server_pid")
            [ "$fd" -gt "$max_fd" ] && max_fd=$fd
            printf '%8d %10d %9d\n' "$done" "$fd" "$bad"
        fi
    done
    echo "oftp: $done cycles ($((done * 3)) sessions) in $(( $(date +%s) - start )) s, $bad failed;" \
        "server fds first $first_fd last $fd max $max_fd"
    kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; server_pid=
    [ $bad -eq 0 ] && [ "$fd" -le $((first_fd + 2)) ]
}

part_inprocess() {
    echo "inprocess: $cycles cycles of one TFtpClient"
    "$build/bin/soak_inprocess" --cycles "$cycles"
}

part_gui() {
    local cmd=${SOAK_GUI_CMD:-}
    if [ -z "$cmd" ] && [ -x "$build/bin/soak_gui" ]; then
        cmd="$build/bin/soak_gui"
    fi
    if [ -z "$cmd" ]; then
        echo "gui: skipped (no soak_gui target and no SOAK_GUI_CMD yet)"
        return 0
    fi
    echo "gui: $gui_cycles cycles through the main window ($cmd)"
    QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} $cmd "$gui_cycles"
}

for p in "${parts[@]}"; do
    start=$(date +%s)
    if "part_$p"; then
        echo "$p: passed in $(( $(date +%s) - start )) s"
    else
        echo "$p: FAILED after $(( $(date +%s) - start )) s"
        failed=1
    fi
done
exit $failed
