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

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The Windows build compiles libdeflate from its Debian source, fetched with
# `apt-get source` (cmake/libdeflate-mingw.cmake). Where apt has no source
# entries yet, each configured archive gets one, written beside its binary
# entry, so that apt's own mirror, proxy and signature checks apply.
apt_dir=/etc/apt/sources.list.d
if ! grep -qs -E '^[[:space:]]*deb-src[[:space:]]|^Types:.*deb-src' /etc/apt/sources.list "$apt_dir"/*.list \
     "$apt_dir"/*.sources; then
  staged=$(mktemp -d)
  # One-line entries: each "deb" line again as "deb-src".
  sed -n -E 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list "$apt_dir"/*.list 2>/dev/null \
    > "$staged/updater-src.list" || true
  # deb822 stanzas of type deb (and not disabled): the same stanza of type deb-src.
  for f in "$apt_dir"/*.sources; do
    [ -f "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" }
      /(^|\n)Types:[ \t]*deb[ \t]*(\n|$)/ && !/(^|\n)Enabled:[ \t]*no/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
  done > "$staged/updater-src.sources"
  for f in "$staged"/*; do
    if [ -s "$f" ]; then "${sudo[@]}" cp "$f" "$apt_dir/"; fi
  done
  rm -r "$staged"
  echo "Enabled source entries for the configured archives"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
