#!/usr/bin/env bash
# Checks the house rules, then configures, builds and runs every test of both builds: the POSIX build
# natively and with sanitizers, the Windows build under Wine, then the fuzzers.
# The builds run one after another; each build's tests run while the next one
# builds, their output in build/test-logs/. UPDATER_SERVER=host:port builds
# for another test server than the presets' localhost:48443.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
logs=build/test-logs
rm -rf "$logs" && mkdir -p "$logs"
server=()
[ -n "${UPDATER_SERVER:-}" ] && server=("-DUPDATER_SERVER=$UPDATER_SERVER")
names=() pids=()

in_background() {  # name command...
  echo "=== $1: running, output in $logs/$1.log"
  "${@:2}" >"$logs/$1.log" 2>&1 &
  names+=("$1") pids+=($!)
}

failed=0
# House rules first: includes against the declared layers, and the format.
echo "=== house rules: layers, format"
if ! python3 scripts/check-layers.py || ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
  echo "=== house rules: FAILED"
  failed=1
fi
for preset in native native-asan native-tsan windows; do
  echo "=== $preset: configure, build"
  if ! { cmake --preset "$preset" "${server[@]}" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "=== $preset: build FAILED"
    failed=1
    break
  fi
  display=()
  # The Windows unit tests open real windows: they run on a private X display.
  [ "$preset" = windows ] && display=(xvfb-run -a)
  in_background "$preset" "${display[@]}" ctest --preset "$preset" --parallel 2
  [ "$preset" = native-tsan ] && in_background fuzz bash scripts/test-fuzz.sh
done
# The README's demo, in its own release build, still runs.
in_background demo bash scripts/demo.sh

for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "=== ${names[$i]}: passed"
    grep -E "tests passed|Total Test time|^fuzz targets" "$logs/${names[$i]}.log" || true
  else
    echo "=== ${names[$i]}: FAILED"
    cat "$logs/${names[$i]}.log"
    failed=1
  fi
done
[ "$failed" = 0 ] && echo "=== all tests passed"
exit "$failed"
