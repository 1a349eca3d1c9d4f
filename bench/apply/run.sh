#!/usr/bin/env bash
# Benchmark of the delete and copy phases (POSIX build) against rsync -a --delete
# on the same trees. Usage: bench/apply/run.sh [files ...]   (default: 10000 100000)
# Builds bench/out/apply_bench (release build in build/bench); trees go to bench/out/apply.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=bench/out
mkdir -p "$out"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench --target apply_bench >/dev/null
cp build/bench/bench/apply_bench "$out/apply_bench"

for files in "${@:-10000 100000}"; do
  for n in $files; do
    work="$out/apply/$n"
    rm -rf "$work"; mkdir -p "$work"
    "$out/apply_bench" make "$work/tree" "$n"
    # Timed at once, while the package's bytes are still in the cache, as after extraction.
    "$out/apply_bench" flush-files "$work/tree"
    # rsync gets the same starting trees: the installation, and the package beside it.
    mkdir -p "$work/rsync"
    cp -a "$work/tree/game" "$work/rsync/game"
    mv "$work/rsync/game/_update_temp" "$work/rsync/package"
    sync
    echo "== $n installed files, $n package files (half overlapping)"
    for phase in count delete remove-empty copy post-copy flush-names; do
      "$out/apply_bench" "$phase" "$work/tree"
    done
    /usr/bin/time -f "rsync -a --delete %e s %M KiB" rsync -a --delete "$work/rsync/package/" "$work/rsync/game/"
    echo "files after: updater $(find "$work/tree/game" -path '*/_update_temp' -prune -o -type f -print | wc -l)," \
         "rsync $(find "$work/rsync/game" -type f | wc -l)"
    rm -rf "$work"
  done
done
