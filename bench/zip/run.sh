#!/usr/bin/env bash
# ExtractZip against `unzip -o -q` on the same packages: wall time and peak
# memory (/usr/bin/time -v), median of RUNS runs, page cache warm for both.
# Packages: 500 MB of 5,000 files, and 50 MB of 500 files to show that memory
# does not grow with the package. WINE=1 adds the Windows build under Wine
# (source scripts/wine-env.sh first).
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${BENCH_OUT:-bench/out/zip}
runs=${RUNS:-3}
mkdir -p "$out"

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench --target extract_main >/dev/null
cp build/bench/bench/extract_main "$out/extract_main"
if [ "${WINE:-0}" = 1 ]; then
  cmake -S . -B build/bench-win -G Ninja --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_TESTING=OFF >/dev/null
  cmake --build build/bench-win --target extract_main >/dev/null
  cp build/bench-win/bench/extract_main.exe "$out/extract_main.exe"
fi

package() {  # name files size
  [ -f "$out/$1" ] || python3 bench/zip/make_package.py "$out/$1" "$2" "$3"
}
package big.zip 5000 100000
package small.zip 500 100000

# Prints "seconds kilobytes" for one run of the command into a fresh folder.
measure() {
  local dest=$out/dest
  rm -rf "$dest" && mkdir -p "$dest"
  sync
  /usr/bin/time -v "$@" 2>"$out/time.txt" >/dev/null
  awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]}
              /Maximum resident set size/ {m=$2} END {printf "%.3f %d\n", s, m}' "$out/time.txt"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

for pkg in small.zip big.zip; do
  : >"$out/ours.txt"; : >"$out/unzip.txt"; : >"$out/wine.txt"
  for _ in $(seq "$runs"); do
    measure "$out/extract_main" "$out/$pkg" "$out/dest" >>"$out/ours.txt"
    if [ "${WINE:-0}" = 1 ]; then measure wine "$out/extract_main.exe" "$out/$pkg" "$out/dest" >>"$out/wine.txt"; fi
    measure unzip -o -q "$out/$pkg" -d "$out/dest" >>"$out/unzip.txt"
  done
  ours_s=$(cut -d' ' -f1 "$out/ours.txt" | median); ours_kb=$(cut -d' ' -f2 "$out/ours.txt" | median)
  unzip_s=$(cut -d' ' -f1 "$out/unzip.txt" | median); unzip_kb=$(cut -d' ' -f2 "$out/unzip.txt" | median)
  ratio=$(awk -v a="$ours_s" -v b="$unzip_s" 'BEGIN {printf "%.2f", a / b}')
  printf '%-10s %6s bytes  ExtractZip %6.2f s %6d KB   unzip %6.2f s %6d KB   ratio %s\n' \
    "$pkg" "$(stat -c %s "$out/$pkg")" "$ours_s" "$ours_kb" "$unzip_s" "$unzip_kb" "$ratio"
  if [ "${WINE:-0}" = 1 ]; then
    printf '%-10s Windows build under Wine: %.2f s, %d KB (Wine included)\n' "$pkg" \
      "$(cut -d' ' -f1 "$out/wine.txt" | median)" "$(cut -d' ' -f2 "$out/wine.txt" | median)"
  fi
done
rm -rf "$out/dest"
