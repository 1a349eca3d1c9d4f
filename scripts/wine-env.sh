# Sourced by the scripts that run the Windows build: a Wine prefix of the
# project's own under build/, made once and reused.
export WINEDEBUG=-all
export WINEPREFIX="${UPDATER_WINEPREFIX:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/wineprefix}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
