#!/usr/bin/env bash
# Screenshots of the progress window under Wine at 96 and 144 DPI (Wine's
# LogPixels), as in docs/: the Windows build's Updater.exe waits for a server
# that accepts and never answers, and each shot is taken after 3 s.
#   scripts/window-shots.sh [build/windows/Updater.exe] [docs]   (port: UPDATER_TEST_PORT, else 48443)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$root/build/windows/Updater.exe}")
out=$(realpath "${2:-$root/docs}")
source "$root/scripts/wine-env.sh"
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/install" && cp "$program" "$work/install/Updater.exe"
cp -a "$WINEPREFIX" "$work/prefix" && export WINEPREFIX="$work/prefix"
python3 -c 'import socket, sys, time
s = socket.create_server(("127.0.0.1", int(sys.argv[1])), reuse_port=False); held = []
while True: held.append(s.accept())' "${UPDATER_TEST_PORT:-48443}" &
Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp & sleep 1
export DISPLAY=:77
for dpi in 96 144; do
  for v in Managed Decorated; do wine reg add 'HKCU\Software\Wine\X11 Driver' /v $v /d N /f >/dev/null 2>&1; done
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  wineserver -k || true  # the DPI is read when the wineserver starts
  wine "$work/install/Updater.exe" &
  for _ in $(seq 100); do id=$(xdotool search --name '^Updater - Updating...$' 2>/dev/null | head -1) && break; sleep 0.2; done
  sleep 3
  import -window "$id" "$out/window-${dpi}dpi.png"
  wineserver -k || true
done
