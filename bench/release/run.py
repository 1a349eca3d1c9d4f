#!/usr/bin/env python3
"""Release tool benchmark: updater-release against `zip -r -q` on the same
game directory (default 1 GiB in 10,000 files: half of them random bytes like
compressed assets, half text-like data that deflate shrinks), alternating the
two in one run with the files in the page cache.

Usage: bench/release/run.py [--build build/native] [--size-mb 1024] [--files 10000] [--runs 3]
Prints wall and CPU time of each run, the medians, their ratio and the package
sizes. Work files go to bench/out/release/ and are removed afterwards.
"""

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def make_game_directory(root, total_bytes, count):
    generator = random.Random(1)
    words = [bytes(generator.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(generator.randint(2, 9)))
             for _ in range(2000)]
    text = b" ".join(generator.choice(words) for _ in range(400000))
    weights = [generator.lognormvariate(0, 1) for _ in range(count)]
    scale = total_bytes / sum(weights)
    for i, weight in enumerate(weights):
        size = max(1, int(weight * scale))
        folder = os.path.join(root, "Data%02d" % (i % 100), "Sub%d" % (i % 7))
        os.makedirs(folder, exist_ok=True)
        if i % 2:
            data = generator.randbytes(size)
        else:
            start = generator.randrange(len(text))
            data = (text[start:] + text[:start]) * (size // len(text) + 1)
        with open(os.path.join(folder, "file%05d.dat" % i), "wb") as out:
            out.write(data[:size])


def timed(command, cwd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(TOP, "build", "native"))
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args(argv)
    tool = os.path.join(os.path.abspath(options.build), "updater-release")
    work = os.path.join(TOP, "bench", "out", "release")
    shutil.rmtree(work, ignore_errors=True)
    game, maps, out, zipped = (os.path.join(work, n) for n in ("game", "maps", "out", "zip.zip"))
    try:
        make_game_directory(game, options.size_mb << 20, options.files)
        os.makedirs(maps)
        with open(os.path.join(maps, "arena.map"), "wb") as f:
            f.write(b"map")
        subprocess.run("find . -type f -exec cat {} + > /dev/null", shell=True, cwd=game, check=True)
        commands = {
            "zip -r -q": (["zip", "-r", "-q", zipped, "."], game),
            "updater-release": ([tool, "--game-dir", game, "--maps-dir", maps, "--game-version", "1",
                                 "--updater-version", "1", "--out", out], work),
        }
        times = {name: [] for name in commands}
        for _ in range(options.runs):
            for name, (command, cwd) in commands.items():
                if name == "updater-release":
                    shutil.rmtree(out, ignore_errors=True)
                elif os.path.exists(zipped):
                    os.remove(zipped)
                times[name].append(timed(command, cwd))
        print("game directory: %d MiB in %d files; %d runs each, alternating; %d cores" %
              (options.size_mb, options.files, options.runs, os.cpu_count()))
        for name, runs in times.items():
            print("%-16s wall median %.1f s (runs: %s), CPU median %.1f s" % (
                name, statistics.median(w for w, _ in runs), ", ".join("%.1f" % w for w, _ in runs),
                statistics.median(c for _, c in runs)))
        ratio = statistics.median(w for w, _ in times["updater-release"]) / statistics.median(w for w, _ in times["zip -r -q"])
        print("ratio updater-release / zip (wall): %.2f" % ratio)
        print("package sizes: zip %d bytes, updater-release %d bytes" % (
            os.path.getsize(zipped), os.path.getsize(os.path.join(out, "updates", "update.zip"))))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
