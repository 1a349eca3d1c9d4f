#!/usr/bin/env bash
# The demo: builds the updater for two local HTTPS update servers (the first
# one down), publishes a release with nginx, runs the updater on a demo
# installation and shows what it did, then publishes a second release and
# shows the update fetching only what changed. `scripts/demo.sh --windows` runs the Windows build under Wine + Xvfb
# instead and saves a screenshot of the progress window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

port=48446  # the end-to-end rows use 48443 and, for a second server, 48444
if [ "${1:-}" = "--windows" ]; then
  cmake -S . -B build/demo-windows -G Ninja --toolchain cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DUPDATER_SERVER=localhost:$((port + 1)),localhost:$port >/dev/null
  cmake --build build/demo-windows --target Updater
  x86_64-w64-mingw32-g++-posix -municode -static -O2 -o build/demo-windows/torvane_stub.exe tests/stubs/torvane_stub_win32.cpp
  source scripts/wine-env.sh
  exec python3 scripts/demo.py --port $port --program build/demo-windows/Updater.exe \
       --stub build/demo-windows/torvane_stub.exe --wine
fi
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DUPDATER_SERVER=localhost:$((port + 1)),localhost:$port >/dev/null
cmake --build build/demo --target Updater
exec python3 scripts/demo.py --port $port --program build/demo/Updater --stub tests/stubs/torvane_stub.sh
