#!/usr/bin/env python3
"""The differential update against the full update of the same release: a
1 GiB / 10,000-file game (bench/e2e/release.py's mix of text and random
files) released by updater-release, served by nginx over TLS on loopback
(ranges on, or `max_ranges 0` for the full update), at 100 Mbit/s
(`limit_rate`) and unlimited, to an installation whose pages are evicted
first (posix_fadvise DONTNEED) unless warm. Each run: wall time from exec to
the updater's exit, the time from the remote version to the first
"update.zip: " line (reading the directory and comparing; against a server
without ranges, what trying cost), peak memory (/usr/bin/time -v), requests and bytes of
update.zip (nginx's access log), and the installation checked against the
game directory afterwards. Needs root (the test CA is trusted in a private
mount namespace) and a build configured for localhost:PORT.

Usage: bench/delta/run.py --build build/native [--port 48464] [--files 10000] [--mb 1024] [--keep]
                          [--only TEXT]  (the runs whose name holds TEXT; --keep reuses the release)
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(TOP, "scripts"), os.path.join(TOP, "bench", "e2e")]
import local_ca  # noqa: E402
import nginx_server  # noqa: E402
import release  # noqa: E402

OLD_VERSION = b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n"
# (name, ranges, limit_rate, what differs in the installation, evicted)
RUNS = [("full, 100 files changed", False, "12500k", "some", True),
        ("differential, 100 files changed", True, "12500k", "some", True),
        ("full, every file changed", False, "12500k", "all", True),
        ("differential, every file changed", True, "12500k", "all", True),
        ("differential, unchanged, cold", True, "12500k", "none", True),
        ("differential, unchanged, warm", True, "12500k", "none", False),
        ("full, 100 files changed, unlimited", False, "0", "some", True),
        ("differential, 100 files changed, unlimited", True, "0", "some", True)]


def make_game(work, files, total):
    """The game as players should have it, the maps, and the release the tool makes of them."""
    release.write_game(os.path.join(work, "game"), files, total)
    rng = random.Random(19)
    for index in range(30):
        release.write_file(os.path.join(work, "maps"), "maps/map%02d.map" % index, rng.randbytes(20000))
    release.publish(os.path.join(work, "bin", "updater-release"), os.path.join(work, "game"), os.path.join(work, "maps"),
                    os.path.join(work, "release"))


def game_files(root):
    return sorted(os.path.relpath(os.path.join(here, name), root) for here, _, names in os.walk(root) for name in names)


def reset_install(work, differs):
    """A hard-linked copy of the game at the old version; changed files get other bytes of the same size."""
    install, game = os.path.join(work, "install"), os.path.join(work, "game")
    shutil.rmtree(install, ignore_errors=True)
    subprocess.run(["cp", "-al", game, install], check=True)
    files = game_files(game)
    changed = {"none": [], "all": files, "some": random.Random(7).sample(files, 100)}[differs]
    for rel in changed:
        path = os.path.join(install, rel)
        data = bytearray(open(path, "rb").read())
        os.remove(path)
        data[len(data) // 2] ^= 0xFF
        open(path, "wb").write(data)
    for name in ("Updater", "torvane.exe"):
        shutil.copy2(os.path.join(work, "bin", name), install)
    open(os.path.join(install, "version.txt"), "wb").write(OLD_VERSION)
    return install, files


def set_cache(install, evicted):
    os.sync()
    for here, _, names in os.walk(install):
        for name in names:
            with open(os.path.join(here, name), "rb") as f:
                if evicted:
                    os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
                else:
                    while f.read(1 << 20):
                        pass


def start_nginx(work, pki, port, ranges, rate):
    open(nginx_server.access_log_path(work), "w").close()
    return nginx_server.start(work, pki, os.path.join(work, "release"), port, rate=rate,
                              max_ranges=None if ranges else 0, access_log=True)


def watch_log(path, seen, stop):
    """Notes when each line of the log appears (the log stamps whole seconds)."""
    done = 0
    while not stop.is_set():
        try:
            with open(path, "rb") as f:
                f.seek(done)
                data = f.read()
        except FileNotFoundError:
            data = b""
        done += len(data)
        seen += [(time.monotonic(), line) for line in data.decode("latin-1").splitlines()]
        time.sleep(0.005)


def attempt_seconds(seen):
    """From the remote version's arrival to the first "update.zip: " line:
    what reading the directory and comparing cost before the fetch began."""
    stamps = [t for t, line in seen if line[22:].startswith("Remote game-version")]
    ends = [t for t, line in seen if line[22:].startswith("update.zip: ")]
    return ends[0] - stamps[0] if stamps and ends else None


def run_once(work, pki, port, run):
    name, ranges, rate, differs, evicted = run
    install, files = reset_install(work, differs)
    set_cache(install, evicted)
    nginx = start_nginx(work, pki, port, ranges, rate)
    report = os.path.join(work, "time.txt")
    home = os.path.join(work, "home")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(os.path.join(home, "Documents"))
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("XDG_")}, HOME=home)
    seen, stop = [], threading.Event()
    watcher = threading.Thread(target=watch_log, args=(os.path.join(install, "updater.log"), seen, stop))
    watcher.start()
    try:
        start = time.monotonic()
        subprocess.run(["/usr/bin/time", "-v", "-o", report, os.path.join(install, "Updater")], cwd=work, env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=3600)
        seconds = time.monotonic() - start
    finally:
        nginx_server.stop(nginx)
        time.sleep(0.05)
        stop.set()
        watcher.join()
    rss = int(next(line.split(":")[1] for line in open(report) if "Maximum resident" in line))
    requests = [line.split() for line in open(nginx_server.access_log_path(work)) if "update.zip" in line]
    log = open(os.path.join(install, "updater.log"), "rb").read().decode("latin-1")
    wrong = [rel for rel in files if os.path.getsize(os.path.join(install, rel)) !=
             os.path.getsize(os.path.join(work, "game", rel))]
    if differs != "none":  # the changed files' bytes
        wrong += [rel for rel in random.Random(7).sample(files, 100)
                  if open(os.path.join(install, rel), "rb").read() != open(os.path.join(work, "game", rel), "rb").read()]
    summary = [line[22:] for line in log.splitlines() if line[22:].startswith(("update.zip: ", "version.txt updated"))]
    return dict(name=name, seconds=seconds, attempt=attempt_seconds(seen), rss_kb=rss, requests=len(requests),
                bytes=sum(int(r[2]) for r in requests), wrong=wrong[:5], log=summary)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--port", type=int, default=48464)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--mb", type=int, default=1024)
    parser.add_argument("--work", default=os.path.join(TOP, "bench", "out", "delta"))
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--inner")
    args = parser.parse_args(argv)
    work = os.path.abspath(args.work)
    if args.inner:
        pki = json.load(open(args.inner))
        for run in (r for r in RUNS if args.only in r[0]):
            print(json.dumps(run_once(work, pki, args.port, run)), flush=True)
        return 0
    os.makedirs(os.path.join(work, "bin"), exist_ok=True)
    for name, target in (("Updater", "Updater"), ("updater-release", "updater-release"),
                         ("torvane.exe", "tests/torvane_stub.sh")):
        shutil.copy2(os.path.join(args.build, target), os.path.join(work, "bin", name))
    if not os.path.exists(os.path.join(work, "release", "updates", "version.txt")):
        make_game(work, args.files, args.mb << 20)
    pki = local_ca.make_pki(os.path.join(work, "pki"))
    json.dump(pki, open(os.path.join(work, "pki.json"), "w"))
    inner = [sys.executable, os.path.abspath(__file__), "--build", args.build, "--port", str(args.port), "--work", work,
             "--only", args.only, "--inner", os.path.join(work, "pki.json")]
    try:
        return subprocess.call(local_ca.trusted_command(inner, pki["bundle"]))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
