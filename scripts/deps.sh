#!/usr/bin/env bash
# Installs what building, running and testing Ombrex FTP needs (Debian packages),
# and only what is missing. Safe to run again.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config libssl-dev openssl
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev
  # icons for files, folders and buttons
  adwaita-icon-theme hicolor-icon-theme shared-mime-info
  # real peers the tests and benchmarks talk to
  vsftpd python3 python3-pyftpdlib python3-openssl
  dante-server microsocks ftp-proxy
  curl lftp
  # benchmark yardsticks, fuzzing
  libpcre2-dev libbenchmark-dev clang libclang-rt-14-dev
  # screenshots under a virtual display
  xvfb xauth
  # desktop integration: menu entry and AppStream checks, the secret service (libsecret
  # headers; a keyring and a private session bus for its tests)
  desktop-file-utils appstream libsecret-1-dev gnome-keyring dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo -E)
fi
echo "Installing: ${missing[*]}"
# Debian's FTP, SOCKS and proxy packages try to start their daemons on standard ports;
# the tests start their own instances, so keep the package scripts from starting any.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  created_policy=1
fi
cleanup() { if [ $created_policy = 1 ]; then "${sudo[@]}" rm -f "$policy"; fi; }
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
