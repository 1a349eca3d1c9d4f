#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that the builds, tests and demo
# need and that is missing. Works as root, and with sudo otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config python3
  libgtest-dev libgmock-dev googletest
  libcurl4-openssl-dev libssl-dev zlib1g-dev libzip-dev libdeflate-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb xdotool imagemagick x11-utils
  clang libclang-rt-14-dev clang-format
  nginx openssl curl zip unzip 7zip libarchive-tools rsync util-linux procps time strace
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
