#!/usr/bin/env python3
"""The update at scale: a game of --files files with log-normal sizes (a few
bytes to megabytes, every other file text-like, the rest random) of --mb
MiB in all, released by updater-release and served by nginx over TLS on
loopback at --rate-mbit per request (limit_rate; a per-run test CA that only
a private mount namespace trusts; needs root). The installation is a
hard-linked copy of the game at the old version with --changed per cent of
its files given other bytes of the same size. Every measured run starts with
cold pages (sync; echo 3 > /proc/sys/vm/drop_caches, or --evict fadvise for
this installation's files only) and --settle seconds after the last deletion
(ext4 passes over inodes freed in the last 30 s when it makes new files; see
bench/e2e/run.py).

Runs, side by side in one run of the script:
  differential        the first start on the old installation: no index of installed files
  differential+index  the same installation state again (the changed files rewritten with
                      their old bytes, version.txt set back) after that start left its index
  whole package       the same old installation, the server without ranges (max_ranges 0)
  whole package+index the same again after that update left its index (changed files set back)
  curl package        curl alone fetching update.zip at the same rate
  curl entries        curl alone fetching the central directory and each changed entry's
                      bytes (local header to the next entry) by ranges, over one connection
Each updater run: exec to the game's launch and to its exit, peak memory
(/usr/bin/time -v), requests and bytes of update.zip (nginx's access log),
how many installed files were replaced (their inode changed) against the
files changed, and the installation checked against the game (every size,
the bytes of every changed or replaced file). --memory-files 10000,50000
adds the peak memory of the differential update (the first start, then
again after the index it left) and the whole-package update at those counts
(the same mean file size; unlimited rate, warm pages); --second PATH measures
another build's Updater beside it in those runs.

The index's file name is found as the file the first start leaves in the
installation beside the game's and the updater's own (--index-name NAME to
name it); a build without an index leaves none, and both differential runs
then measure the same thing.

Usage: bench/scale/run.py --build build/bench [--files 100000] [--mb 2048] [--changed 1]
                          [--rate-mbit 100] [--memory-files 10000,50000] [--runs 1] [--settle 31]
                          [--evict drop|fadvise] [--index-name NAME] [--only differential,whole,curl]
                          [--keep] [--second OTHER/Updater]
The build must be configured for localhost:PORT, PORT being UPDATER_BENCH_PORT
(default 48450). Releases are generated under bench/out/scale/ and kept with --keep
(the next run reuses them).
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(TOP, "scripts"), os.path.join(TOP, "bench", "e2e")]
import local_ca  # noqa: E402
import nginx_server  # noqa: E402
import release  # noqa: E402

PORT = int(os.environ.get("UPDATER_BENCH_PORT", "48450"))
URL = "https://localhost:%d/updates/update.zip" % PORT
OLD_VERSION = b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n"
OWN_FILES = {"Updater", "torvane.exe", "version.txt", "updater.log", "updater.log.ts", "launched-at.txt"}

# -- the release (outside the namespace) --------------------------------------


def prepare(root, files, megabytes, tool):
    """root/game, root/release (updater-release's) and root/names.json; reused when present."""
    if os.path.exists(os.path.join(root, "names.json")):
        return
    shutil.rmtree(root, ignore_errors=True)
    print("generating %d files, %d MiB, and their release in %s..." % (files, megabytes, root), flush=True)
    names = release.write_game(os.path.join(root, "game"), files, megabytes << 20)
    rng = random.Random(29)
    for index in range(30):
        release.write_file(os.path.join(root, "maps"), "Maps/map%02d.map" % index, rng.randbytes(20000))
    release.publish(tool, os.path.join(root, "game"), os.path.join(root, "maps"), os.path.join(root, "release"))
    json.dump(names, open(os.path.join(root, "names.json"), "w"))


# -- the runs (inside the namespace that trusts the test CA) -----------------


class Bench:
    def __init__(self, config, root):
        self.config, self.root = config, root
        self.work = config["work"]
        self.game = os.path.join(root, "game")
        self.install = os.path.join(self.work, "install")
        self.names = json.load(open(os.path.join(root, "names.json")))
        count = max(1, len(self.names) * config["changed"] // 100)
        self.changed = sorted(random.Random(7).sample(self.names, count))
        self.settled_from = time.monotonic()
        self.updater = "Updater"  # in work/bin: the build measured, or "Updater-second"

    def write_old(self, rel):
        """The changed file's old bytes (one byte flipped, same size) in a file of its own."""
        path = os.path.join(self.install, rel)
        data = bytearray(open(os.path.join(self.game, rel), "rb").read())
        data[len(data) // 2] ^= 0xFF
        if os.path.exists(path):
            os.remove(path)
        open(path, "wb").write(data)

    def reset(self):
        """A hard-linked copy of the game at the old version."""
        shutil.rmtree(self.install, ignore_errors=True)
        subprocess.run(["cp", "-al", self.game, self.install], check=True)
        self.mark_read(self.names)
        self.back_to_old()

    def mark_read(self, names):
        """Access times after the last change, as in an installation the game
        has read since: with relatime the first read after a change writes
        the inode, which would slow the first start on a fresh copy alone."""
        later = time.time_ns() + 5 * 10**9
        for rel in names:
            path = os.path.join(self.install, rel)
            os.utime(path, ns=(later, os.stat(path).st_mtime_ns))

    def back_to_old(self):
        """The changed files and version.txt as they were before the update; the rest stays."""
        for rel in self.changed:
            self.write_old(rel)
        self.mark_read(self.changed)
        for name in ("Updater", "torvane.exe"):
            shutil.copy2(os.path.join(self.work, "bin", self.updater if name == "Updater" else name),
                         os.path.join(self.install, name))
        open(os.path.join(self.install, "version.txt"), "wb").write(OLD_VERSION)
        self.settled_from = time.monotonic()

    def cold_and_settled(self, cold=True):
        """Waits until --settle seconds after the last deletion, then evicts the pages."""
        os.sync()
        time.sleep(max(0, self.settled_from + self.config["settle"] - time.monotonic()))
        if not cold:
            return
        if self.config["evict"] == "drop":
            open("/proc/sys/vm/drop_caches", "w").write("3\n")
            return
        for here, _, names in os.walk(self.install):
            for name in names:
                with open(os.path.join(here, name), "rb") as f:
                    os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)

    def inodes(self):
        return {rel: os.stat(os.path.join(self.install, rel)).st_ino for rel in self.names}

    def serve(self, ranges, rate):
        open(nginx_server.access_log_path(self.work), "w").close()
        return nginx_server.start(self.work, self.config["pki"], os.path.join(self.root, "release"), PORT,
                                  rate=rate, max_ranges=None if ranges else 0, access_log=True)

    def served(self):
        lines = [line.split() for line in open(nginx_server.access_log_path(self.work)) if "update.zip" in line]
        return len(lines), sum(int(fields[2]) for fields in lines)

    def run_updater(self, name, ranges, rate, cold=True):
        before = self.inodes()
        log_path = os.path.join(self.install, "updater.log")
        log_start = os.path.getsize(log_path) if os.path.exists(log_path) else 0
        self.cold_and_settled(cold)
        nginx = self.serve(ranges, rate)
        home = os.path.join(self.work, "home")
        shutil.rmtree(home, ignore_errors=True)
        os.makedirs(os.path.join(home, "Documents"))
        env = dict({k: v for k, v in os.environ.items() if not k.startswith("XDG_")}, HOME=home)
        report = os.path.join(self.work, "time.txt")
        try:
            start = time.monotonic()
            # a profiler around the updater, e.g. UPDATER_BENCH_WRAP="heaptrack -o /tmp/{run}"
            run = "".join(c if c.isalnum() else "-" for c in name)
            wrap = [word.replace("{run}", run) for word in os.environ.get("UPDATER_BENCH_WRAP", "").split()]
            subprocess.run(["/usr/bin/time", "-v", "-o", report] + wrap + [os.path.join(self.install, "Updater")],
                           cwd=self.work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=7200)
            ended = time.monotonic()
        finally:
            nginx_server.stop(nginx)
        self.settled_from = ended  # the update's moves freed the replaced files
        stamp = os.path.join(self.install, "launched-at.txt")
        launched = int(open(stamp).read()) / 1e9 - start if os.path.exists(stamp) else None
        requests, sent = self.served()
        after = self.inodes()
        replaced = [rel for rel in self.names if after[rel] != before[rel]]
        with open(log_path, "rb") as f:
            f.seek(log_start)
            log = f.read().decode("latin-1")
        return {"name": name, "launch": launched, "exit": ended - start, "requests": requests, "bytes": sent,
                "package": self.package_bytes(),
                "rss_kb": int(next(line.split(":")[1] for line in open(report) if "Maximum resident" in line)),
                "changed": len(self.changed), "replaced": len(replaced), "wrong": self.check(replaced)[:5],
                "extra": self.extra_files(), "log": [line[22:] for line in log.splitlines()
                                                     if line[22:].startswith(("update.zip: ", "version.txt updated"))]}

    def check(self, replaced):
        """Paths whose size differs from the game's, or whose bytes do (changed or replaced files)."""
        wrong = [rel for rel in self.names
                 if os.path.getsize(os.path.join(self.install, rel)) != os.path.getsize(os.path.join(self.game, rel))]
        for rel in sorted(set(self.changed) | set(replaced)):
            if open(os.path.join(self.install, rel), "rb").read() != open(os.path.join(self.game, rel), "rb").read():
                wrong.append(rel)
        return wrong

    def extra_files(self):
        """Files of the installation that are neither the game's nor the updater's own: its index."""
        known = set(self.names) | OWN_FILES
        found = []
        for here, _, names in os.walk(self.install):
            for name in names:
                rel = os.path.relpath(os.path.join(here, name), self.install)
                if rel not in known:
                    found.append([rel, os.path.getsize(os.path.join(here, name))])
        return found

    def package_bytes(self):
        return os.path.getsize(os.path.join(self.root, "release", "updates", "update.zip"))

    def curl(self, name, argv):
        target = os.path.join(self.work, "curl")
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        self.settled_from = time.monotonic()
        self.cold_and_settled()
        nginx = self.serve(True, self.config["rate"])
        try:
            start = time.monotonic()
            subprocess.run(argv(target), check=True, stdin=subprocess.DEVNULL)
            seconds = time.monotonic() - start
        finally:
            nginx_server.stop(nginx)
        requests, sent = self.served()
        shutil.rmtree(target, ignore_errors=True)
        self.settled_from = time.monotonic()
        return {"name": name, "exit": seconds, "requests": requests, "bytes": sent, "package": self.package_bytes()}

    def entry_ranges(self):
        """The central directory's range and each changed entry's (local header to the next entry)."""
        package = os.path.join(self.root, "release", "updates", "update.zip")
        with zipfile.ZipFile(package) as archive:
            infos = sorted(archive.infolist(), key=lambda info: info.header_offset)
            directory = archive.start_dir
        ends = {info.filename: after.header_offset for info, after in zip(infos, infos[1:])}
        ends[infos[-1].filename] = directory
        wanted = set(self.changed)
        ranges = [(info.header_offset, ends[info.filename] - 1) for info in infos if info.filename in wanted]
        return [(directory, os.path.getsize(package) - 1)] + ranges

    def curl_entries(self, target):
        config = os.path.join(self.work, "curl-ranges.txt")
        with open(config, "w") as out:
            for index, (first, last) in enumerate(self.entry_ranges()):
                out.write('%surl = "%s"\nrange = "%d-%d"\noutput = "%s/%d"\n' %
                          ("next\n" if index else "", URL, first, last, target, index))
        return ["curl", "-sS", "-K", config]


def inner(config_path):
    config = json.load(open(config_path))
    only, rate, results = config["only"], config["rate"], []
    bench = Bench(config, config["main"])

    def emit(result):
        print(json.dumps(result), flush=True)
        results.append(result)

    for _ in range(config["runs"]):  # side by side, alternating
        if "differential" in only:
            bench.reset()
            emit(bench.run_updater("differential", True, rate))
            bench.back_to_old()
            emit(bench.run_updater("differential+index", True, rate))
        if "whole" in only:
            bench.reset()
            emit(bench.run_updater("whole package", False, rate))
            bench.back_to_old()  # with the index that update left
            emit(bench.run_updater("whole package+index", False, rate))
        if "curl" in only:
            emit(bench.curl("curl package", lambda target: ["curl", "-sS", "-o", os.path.join(target, "update.zip"),
                                                           URL]))
            emit(bench.curl("curl entries", bench.curl_entries))
    builds = [("Updater", "")] + ([("Updater-second", " (second)")] if config["second"] else [])
    for root in config["memory"]:
        small = Bench(config, root)
        for name, ranges in (("differential", True), ("whole package", False)):
            for small.updater, which in builds:  # side by side
                label = "memory %s, %d files%s" % (name, len(small.names), which)
                small.reset()
                emit(dict(small.run_updater(label, ranges, "0", cold=False), files=len(small.names)))
                if ranges:  # again, after the index that start left
                    small.back_to_old()
                    emit(dict(small.run_updater(label.replace("differential", "differential+index"), ranges, "0",
                                                cold=False), files=len(small.names)))
    shutil.rmtree(bench.install, ignore_errors=True)
    return 0


# -- the report ----------------------------------------------------------------


def median_run(runs, key):
    """The run whose figure is the median (the lower one of an even count)."""
    return sorted(runs, key=lambda r: r[key])[(len(runs) - 1) // 2] if runs else None


def report(results, index_left):
    by_name = {}
    for r in results:
        by_name.setdefault(r["name"], []).append(r)
    print("\n%-52s %9s %9s %9s %14s %9s %10s %12s" % ("run", "launch s", "exit s", "requests", "bytes", "x package",
                                                     "peak KB", "replaced"))
    for r in results:
        launch = "%.2f" % r["launch"] if r.get("launch") else "-"
        replaced = "%d of %d" % (r["replaced"], r["changed"]) if "replaced" in r else ""
        print("%-52s %9s %9.2f %9d %14d %9.4f %10s %12s" % (r["name"], launch, r["exit"], r["requests"], r["bytes"],
                                                          r["bytes"] / r["package"], r.get("rss_kb", ""), replaced))
    for r in results:
        if r.get("wrong"):
            print("  %s: the installation differs from the release: %s" % (r["name"], r["wrong"]))
        if r.get("extra"):
            print("  %s left in the installation: %s" % (r["name"], r["extra"]))
        for line in r.get("log", []):
            print("  %s: %s" % (r["name"], line))
    indexed, entries = median_run(by_name.get("differential+index"), "launch"), median_run(by_name.get("curl entries"), "exit")
    plain = median_run(by_name.get("differential"), "launch")
    if plain and indexed:
        print("differential, medians: without the index %.2f s, after a start that left it %.2f s" %
              (plain["launch"], indexed["launch"]))
    if indexed and entries:
        bound = 1.3 * entries["exit"] + 1
        print("differential with the index: %.2f s against 1.3 x curl's %.2f s + 1 s = %.2f s: %s%s" %
              (indexed["launch"], entries["exit"], bound, "met" if indexed["launch"] <= bound else "NOT met",
               "" if index_left else " (no index was left: this build updates without one)"))
    package = median_run(by_name.get("curl package"), "exit")
    for name in ("whole package", "whole package+index"):
        whole = median_run(by_name.get(name), "launch")
        if whole and package:
            ratio = whole["launch"] / package["exit"]
            print("%s: %.2f x curl's %.2f s (target 1.10: %s); replaced %d files for %d changed (%.2f x)" %
                  (name, ratio, package["exit"], "met" if ratio <= 1.10 else "NOT met", whole["replaced"],
                   whole["changed"], whole["replaced"] / whole["changed"]))
    memory = [r for r in results if r["name"].startswith("memory") or r["name"] in ("differential", "whole package")]
    if memory:
        print("peak memory: " + ", ".join("%s %d KB" % (r["name"], r["rss_kb"]) for r in memory))


def describe_machine():
    return "%d cores, load average %s" % (os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3]))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--mb", type=int, default=2048)
    parser.add_argument("--changed", type=int, default=1, help="per cent of the files")
    parser.add_argument("--rate-mbit", type=int, default=100, help="limit_rate per request; 0: unlimited")
    parser.add_argument("--memory-files", default="10000,50000", help="more file counts for the peak memory")
    parser.add_argument("--runs", type=int, default=1, help="rounds of the side-by-side runs (medians reported)")
    parser.add_argument("--settle", type=float, default=31)
    parser.add_argument("--evict", choices=("drop", "fadvise"), default="drop")
    parser.add_argument("--index-name", help="the index's file name (else found as the one extra file)")
    parser.add_argument("--only", default="differential,whole,curl")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--second", help="another build's Updater, measured beside it in the memory runs")
    parser.add_argument("--inner")
    options = parser.parse_args(argv)
    if options.inner:
        return inner(options.inner)
    cache = open(os.path.join(options.build, "CMakeCache.txt")).read()
    if "UPDATER_SERVER:STRING=localhost:%d" % PORT not in cache:
        raise SystemExit("%s is not configured for localhost:%d (UPDATER_BENCH_PORT)" % (options.build, PORT))
    print("machine: " + describe_machine(), flush=True)
    out = os.path.join(TOP, "bench", "out", "scale")
    work = os.path.join(out, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "bin"))
    shutil.copy2(os.path.join(options.build, "Updater"), os.path.join(work, "bin", "Updater"))
    if options.second:
        shutil.copy2(options.second, os.path.join(work, "bin", "Updater-second"))
    subprocess.run(["g++", "-std=c++20", "-O2", "-o", os.path.join(work, "bin", "torvane.exe"),
                    os.path.join(TOP, "bench", "e2e", "game_stamp.cpp")], check=True)
    tool = os.path.join(options.build, "updater-release")
    mean = (options.mb << 20) / options.files

    def release_root(files, megabytes):
        root = os.path.join(out, "%dfiles-%dmb" % (files, megabytes))
        prepare(root, files, megabytes, tool)
        return root

    main_root = release_root(options.files, options.mb)
    memory = [release_root(n, max(1, round(n * mean / 2**20))) for n in
              (int(n) for n in options.memory_files.split(",") if n) if n != options.files]
    pki = local_ca.make_pki(os.path.join(work, "pki"))
    config = {"work": work, "pki": pki, "main": main_root, "memory": memory, "changed": options.changed,
              "rate": str(options.rate_mbit * 125000), "settle": options.settle, "runs": options.runs,
              "evict": options.evict, "second": bool(options.second),
              "only": options.only.split(",")}
    config_path = os.path.join(work, "config.json")
    json.dump(config, open(config_path, "w"))
    command = local_ca.trusted_command([sys.executable, os.path.abspath(__file__), "--build", options.build,
                                        "--inner", config_path], pki["bundle"])
    results = []
    try:
        with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as inner_run:
            for line in inner_run.stdout:
                results.append(json.loads(line))
                print("  %s: %.2f s" % (results[-1]["name"], results[-1]["exit"]), flush=True)
        package_bytes = os.path.getsize(os.path.join(main_root, "release", "updates", "update.zip"))
        print("\n%d files, %d MiB, update.zip %d bytes, %d %% changed, %s, %s pages, %.0f s settled" %
              (options.files, options.mb, package_bytes, options.changed,
               "%d Mbit/s" % options.rate_mbit if options.rate_mbit else "unlimited", options.evict, options.settle))
        extra = [r["extra"] for r in results if r["name"] == "differential"][:1] or [[]]
        index_left = any(e[0] == options.index_name for e in extra[0]) if options.index_name else bool(extra[0])
        if options.index_name:
            print("index %s after the first start: %s" % (options.index_name, "present" if index_left else "MISSING"))
        else:
            print("left by the first start beside the game (the index, if any): %s" % (extra[0] or "nothing"))
        report(results, index_left)
        print("machine at the end: " + describe_machine())
        json.dump(results, open(os.path.join(out, "results.json"), "w"), indent=1)
        return 0 if inner_run.returncode == 0 and not any(r.get("wrong") for r in results) else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if not options.keep:
            for root in [main_root] + memory:
                shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
