#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (tests/fuzz/CMakeLists.txt, in a
# build directory of their own) and runs both at once for FUZZ_SECONDS (30)
# seconds. Any crash, leak, time-out or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
out=${FUZZ_BUILD_DIR:-build/fuzz}
mkdir -p "$out"
out=$(cd "$out" && pwd)  # the package generator changes directories

echo "building fuzz targets in $out"
cmake -S . -B "$out" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DBUILD_TESTING=OFF -DUPDATER_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="-O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$out" --target zip_extract_fuzz version_file_fuzz >/dev/null

# Seeds: the small test packages and a few version files. Each run starts
# from the seeds alone, so runs do not depend on each other.
rm -rf "$out/packages" "$out/corpus_zip" "$out/corpus_version"
python3 tests/zipgen/make_zips.py "$out/packages" >/dev/null
mkdir -p "$out/corpus_zip" "$out/corpus_version"
find "$out/packages" -name '*.zip' -size -64k -exec cp {} "$out/corpus_zip/" \;
cp tests/fuzz/corpus_version/* "$out/corpus_version/"
rm -rf "$out/packages"

run_target() {
  local name=$1 corpus=$2 max_len=$3
  local log="$out/$name.log"
  echo "fuzzing $name for ${seconds}s"
  if ! (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -print_final_stats=1 "$corpus") >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $name (log: $log)"
    return 1
  fi
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:' "$log"; then
    grep -E -A20 'ERROR:|runtime error:' "$log" | head -n 60
    echo "FAILED: $name reported a sanitizer error (log: $log)"
    return 1
  fi
  grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$log" | tail -n 2
}

run_target zip_extract_fuzz corpus_zip 65536 & zip=$!
run_target version_file_fuzz corpus_version 4096 & version=$!
status=0
wait "$zip" || status=1
wait "$version" || status=1
[ "$status" = 0 ] && echo "fuzz targets passed"
exit "$status"
