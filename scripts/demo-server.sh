#!/usr/bin/env bash
# Starts a local FTP server (pyftpdlib, 127.0.0.1 only) with a few sample files and adds
# it to the favourites of the built program as "Local demo"; runs until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

port=2121
root="$repo/build/demo-ftp"
ini="$repo/build/bin/OFTP.ini"
user=demo
site="Local demo"
python=/usr/bin/python3   # Debian's Python, which has pyftpdlib

usage() {
  cat <<EOF
usage: scripts/demo-server.sh [--port N] [--root DIR] [--ini FILE]

Serves DIR (default build/demo-ftp, filled with sample files) on 127.0.0.1:N
(default 2121; 0 picks a free port) to the user "$user" with a fresh random password,
and stores the site as the favourite "$site" in FILE (default build/bin/OFTP.ini,
the settings file of build/bin/ombrex-ftp). Stop it with Ctrl+C.
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=${2:?--port needs a number}; shift 2 ;;
    --root) root=${2:?--root needs a folder}; shift 2 ;;
    --ini) ini=${2:?--ini needs a file}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
case "$port" in
  ''|*[!0-9]*) echo "--port needs a number" >&2; exit 2 ;;
esac

if ! "$python" -c 'import pyftpdlib' 2>/dev/null; then
  echo "pyftpdlib is missing: run scripts/deps.sh (or apt-get install python3-pyftpdlib)." >&2
  exit 1
fi

# Sample files: text, a binary file, a sub-folder, names with blanks. Existing files are
# left alone, so what you uploaded stays.
put() {   # put FILE TEXT
  [ -e "$1" ] || printf '%s\n' "$2" > "$1"
}
mkdir -p "$root/docs" "$root/Holiday photos"
put "$root/readme.txt" "Welcome to the Ombrex FTP demo server.
Download this file, upload one of yours, make a folder: everything stays in
$root."
put "$root/notes with blanks.txt" "A file whose name has blanks in it."
put "$root/docs/guide.txt" "Double-click a folder to open it; the parent row (..) goes back up."
put "$root/docs/changes.html" "<html><body><h1>Changes</h1><p>Nothing yet.</p></body></html>"
put "$root/Holiday photos/where.txt" "The photos are still on the camera."
[ -e "$root/data.bin" ] || "$python" -c '
import sys
sys.stdout.buffer.write(bytes(range(256)) * 256)' > "$root/data.bin"

# A fresh password each run, handed over in the environment only: it never shows in the
# process list, and it is printed nowhere (it is stored in the favourite).
OMBREX_DEMO_PASSWORD=$("$python" -c 'import secrets; print(secrets.token_urlsafe(12))')
export OMBREX_DEMO_PASSWORD

portfile=$(mktemp)
errfile=$(mktemp)
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -f "$portfile" "$errfile"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$python" "$repo/tests/servers/pyftpd_server.py" --root "$root" --user "$user" \
  --password-env OMBREX_DEMO_PASSWORD --port "$port" \
  --banner "Ombrex FTP demo server ready." >"$portfile" 2>"$errfile" &
server=$!

actual=""
for _ in $(seq 1 100); do
  actual=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$portfile")
  [ -n "$actual" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "The FTP server did not start:" >&2
    cat "$errfile" >&2
    if grep -q "in use" "$errfile"; then
      echo "Port $port is taken; choose another with --port N (0 picks a free one)." >&2
    fi
    exit 1
  fi
  sleep 0.1
done
if [ -z "$actual" ]; then
  echo "The FTP server did not report its port within 10 seconds." >&2
  exit 1
fi

mkdir -p "$(dirname "$ini")"
"$python" "$repo/scripts/profile-write.py" "$ini" "FAV$site" \
  Server=127.0.0.1 User="$user" --env Psw=OMBREX_DEMO_PASSWORD Port="$actual" \
  Passive=1 RemoteDir=/

cat <<EOF
Demo FTP server on 127.0.0.1:$actual (user "$user"), serving $root.
Added the favourite "$site" to $ini.
In Ombrex FTP: Connect..., Favorites, select "$site", Open, Connect.
Ready. Press Ctrl+C to stop the server.
EOF
wait "$server"
