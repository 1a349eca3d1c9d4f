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

sources_for() {  # platform
  echo src/services/zip_extract.cpp src/services/zip_format.cpp src/services/zip_names.cpp \
       src/services/zip_output.cpp "src/services/zip_output_$1.cpp" src/services/text.cpp \
       "src/services/text_$1.cpp" src/services/log.cpp "src/services/log_file_$1.cpp"
}
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -Isrc bench/zip/extract_main.cpp $(sources_for posix) -lz -o "$out/extract_main"
if [ "${WINE:-0}" = 1 ]; then
  # shellcheck disable=SC2046
  x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -Isrc -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX \
      bench/zip/extract_main.cpp $(sources_for win32) /usr/x86_64-w64-mingw32/lib/libz.a -static \
      -o "$out/extract_main.exe"
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
