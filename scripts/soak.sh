#!/usr/bin/env bash
# Soak tests: many sessions against a local server, watching for failures and for resources
# that keep growing.
#
#   scripts/soak.sh [--cycles N] [--parallel P] [part ...]
#
# Parts (all by default, in this order):
#   oftp       N cycles of oftp processes (ls, get, put; each its own process and session)
#              against a local server (--server: vsftpd, the default, or pyftpdlib), P cycles
#              at a time, passive and active; files are compared byte for byte, the server's
#              open descriptors are sampled and each download's peak oftp RSS is kept.
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
server=vsftpd
gui_cycles=${GUI_CYCLES:-200}
parts=()
while [ $# -gt 0 ]; do
    case "$1" in
    --cycles) cycles=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    --server) server=$2; shift 2 ;;
    oftp | inprocess | gui) parts+=("$1"); shift ;;
    *) echo "usage: scripts/soak.sh [--cycles N] [--parallel P] [--server vsftpd|pyftpdlib] [oftp|inprocess|gui ...]" >&2; exit 2 ;;
    esac
done
[ ${#parts[@]} -eq 0 ] && parts=(oftp inprocess gui)

build=${SOAK_BUILD_DIR:-$root/build-soak}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
ninja -C "$build" -j2 oftp soak_inprocess soak_gui >/dev/null || { echo "soak: build failed"; exit 1; }

work=$(mktemp -d /tmp/ombrex-soak.XXXXXX)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failed=0

fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

# Starts the oftp part's server in $work: sets server_pid, port, login (oftp's login
# options), remote (the served folder as oftp names it) and served (the same folder here).
start_server() {
    case "$server" in
    vsftpd)
        # Anonymous vsftpd: its root must not be writable, so the files live in /upload.
        [ "$(id -u)" -eq 0 ] || { echo "oftp: vsftpd needs root here; use --server pyftpdlib"; return 1; }
        mkdir -p "$work/root/upload" /var/run/vsftpd/empty
        chmod 755 "$work" "$work/root"
        chmod 777 "$work/root/upload"
        port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
        printf '%s\n' listen=YES listen_ipv6=NO listen_address=127.0.0.1 "listen_port=$port" \
            background=NO anonymous_enable=YES local_enable=NO write_enable=YES \
            anon_upload_enable=YES anon_other_write_enable=YES anon_umask=022 no_anon_password=YES \
            "anon_root=$work/root" pasv_enable=YES pasv_address=127.0.0.1 port_enable=YES \
            connect_from_port_20=NO seccomp_sandbox=NO xferlog_enable=NO dirmessage_enable=NO \
            max_clients=200 max_per_ip=200 secure_chroot_dir=/var/run/vsftpd/empty \
            pam_service_name=vsftpd >"$work/vsftpd.conf"
        /usr/sbin/vsftpd "$work/vsftpd.conf" >"$work/server.out" 2>"$work/server.err" &
        server_pid=$!
        login=(--user anonymous --password soak@example.invalid)
        remote=/upload
        served="$work/root/upload"
        local i
        for i in $(seq 50); do
            (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
            sleep 0.1
        done
        echo "oftp: vsftpd did not start"; cat "$work/server.err"; return 1
        ;;
    pyftpdlib)
        # pyftpdlib 1.5.7 leaves a session unanswered now and then when active and passive
        # sessions run at once (curl sees the same): use --parallel 1 with it.
        mkdir -p "$work/root"
        /usr/bin/python3 tests/servers/pyftpd_server.py --root "$work/root" --user tester --password secret \
            >"$work/server.out" 2>"$work/server.err" &
        server_pid=$!
        login=(--user tester --password secret)
        remote=/
        served="$work/root"
        port=
        for _ in $(seq 100); do
            port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/server.out")
            [ -n "$port" ] && return 0
            sleep 0.1
        done
        echo "oftp: pyftpdlib did not start"; cat "$work/server.err"; return 1
        ;;
    *) echo "oftp: unknown server $server"; return 1 ;;
    esac
}

part_oftp() {
    local port= login=() remote= served=
    mkdir -p "$work/local"
    start_server || return 1
    head -c 262144 /dev/urandom >"$served/soak-get.bin"
    chmod 644 "$served/soak-get.bin"
    head -c 196608 /dev/urandom >"$work/local/put.bin"
    local oftp="$build/bin/oftp"
    # One cycle: list, download and compare, upload and compare; three sessions, each its
    # own oftp process. The download runs under GNU time, which reports oftp's peak RSS.
    cycle() {
        local i=$1 mode=--passive dir="$work/local/$1"
        [ $((i % 2)) -eq 1 ] && mode=--active
        mkdir -p "$dir"
        local common=(-v --port "$port" "${login[@]}" "$mode" --binary --dir "$remote" 127.0.0.1)
        fail() { echo "cycle $i ($mode) $1 failed:"; tail -n 8 "$dir/err" | sed 's/^/    /'; }
        "$oftp" "${common[@]}" ls >"$dir/ls.out" 2>"$dir/err" || { fail ls; return 1; }
        grep -q 'soak-get.bin' "$dir/ls.out" || { echo "cycle $i ls: file missing"; return 1; }
        local timer=()
        [ -x /usr/bin/time ] && timer=(/usr/bin/time -f 'maxrss %M' -o "$dir/time")   # Debian's "time"
        "${timer[@]}" "$oftp" "${common[@]}" get soak-get.bin "$dir/get.bin" 2>"$dir/err" || { fail get; return 1; }
        [ -f "$dir/time" ] && sed -n 's/^maxrss //p' "$dir/time" >"$work/rss-$i"
        cmp -s "$dir/get.bin" "$served/soak-get.bin" || { echo "cycle $i get: content differs"; return 1; }
        "$oftp" "${common[@]}" put "$work/local/put.bin" "put-$i.bin" 2>"$dir/err" || { fail put; return 1; }
        cmp -s "$served/put-$i.bin" "$work/local/put.bin" || { echo "cycle $i put: content differs"; return 1; }
        rm -rf "$dir" "$served/put-$i.bin"
    }
    local start=$(date +%s) done=0 bad=0 first_fd=$(fd_count "$server_pid") max_fd=0 fd
    local first_rss= last_rss= max_rss=0 rss
    echo "oftp: $cycles cycles, $parallel at a time, $server on port $port"
    printf '%8s %10s %12s %9s\n' cycles server_fds oftp_rss_kb failures
    printf '%8d %10d %12s %9d\n' 0 "$first_fd" - 0
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
        for k in $(seq $((done - batch + 1)) $done); do
            [ -s "$work/rss-$k" ] || continue
            rss=$(cat "$work/rss-$k"); rm -f "$work/rss-$k"
            [ -z "$first_rss" ] && first_rss=$rss
            last_rss=$rss
            [ "$rss" -gt "$max_rss" ] && max_rss=$rss
        done
        if [ $((done % 100)) -lt "$parallel" ] || [ $done -ge "$cycles" ]; then
            sleep 0.2   # the server closes its side of the last sessions
            fd=$(fd_count "$server_pid")
            [ "$fd" -gt "$max_fd" ] && max_fd=$fd
            printf '%8d %10d %12s %9d\n' "$done" "$fd" "${last_rss:--}" "$bad"
        fi
    done
    echo "oftp: $done cycles ($((done * 3)) sessions) in $(( $(date +%s) - start )) s, $bad failed;" \
        "server fds first $first_fd last $fd max $max_fd;" \
        "oftp peak rss kb first ${first_rss:-?} last ${last_rss:-?} max $max_rss"
    kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; server_pid=
    [ $bad -eq 0 ] && [ "$fd" -le $((first_fd + 2)) ]
}

part_inprocess() {
    echo "inprocess: $cycles cycles of one TFtpClient ($server)"
    "$build/bin/soak_inprocess" --cycles "$cycles" --server "$server"
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
