#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine (run as root).
set -euo pipefail

packages=(
  btrfs-progs
  build-essential
  clang
  cmake
  dbus
  dbus-daemon
  debhelper
  dosfstools
  dpkg-dev
  e2fsprogs
  fdisk
  fusefat
  g++
  groff-base
  jfsutils
  libclang-rt-14-dev
  lintian
  make
  mmdebstrap
  nilfs-tools
  ntfs-3g
  python3
  python3-dbus
  python3-dbusmock
  python3-gi
  python3-pytest
  qtbase5-dev
  qttools5-dev
  qttools5-dev-tools
  reiser4progs
  reiserfsprogs
  sudo
  udev
  udisks2
  util-linux
  xfsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
