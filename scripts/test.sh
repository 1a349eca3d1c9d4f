#!/usr/bin/env bash
# Configures, builds and runs every test of both builds: the POSIX build
# natively and with sanitizers, the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

run_preset() {
  local preset=$1; shift
  echo "=== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  "$@" ctest --preset "$preset"
}

run_preset native
run_preset native-asan
run_preset native-tsan
source scripts/wine-env.sh
# The Windows unit tests open real windows: they run on a private X display.
run_preset windows xvfb-run -a
for extra in scripts/test-*.sh; do
  [ -e "$extra" ] || continue
  echo "=== $extra"
  bash "$extra"
done
echo "=== all tests passed"
