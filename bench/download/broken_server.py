#!/usr/bin/env python3
"""Time to launch against a broken update server, and a 1 GB package over a
connection that the server drops every 100 MB: the built updater, run as
players run it, against tests/e2e/server.py over TLS on loopback (a per-run
test CA trusted through a private mount namespace, so root is needed).

  python3 bench/download/broken_server.py --program build/native/Updater \\
      --stub build/native/tests/torvane_stub.sh
  python3 bench/download/broken_server.py --program build/windows/Updater.exe \\
      --stub build/windows/tests/torvane_stub.exe --wine     # after scripts/wine-env.sh
  options: --only N[,N...] (case numbers, from 0, in the order below)  --big-mb 1024 (the last two cases' package)

The server serves on the port the program was built for (UPDATER_TEST_PORT).
Prints one table row per case: seconds from start to the game's launch,
whether the update was applied, and the bytes the server sent for update.zip
against the package's size.
"""

import json
import os
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
from harness import Runner, World, parse_arguments, write_tree  # noqa: E402

MB = 1024 * 1024
PACKAGE = "/updates/update.zip"


def cut_then(step, size):
    """The first answer is cut halfway, the second behaves as `step`, the rest normally."""
    return {PACKAGE: {"sequence": [{"cut_body_after": size // 2}, step, {}]}}


# (name, behaviours for a package of `size` bytes, package size in MB or "big")
CASES = [
    ("update.zip cut at 90 %, resumed", lambda size: {PACKAGE: {"sequence": [{"cut_body_after": size * 9 // 10}, {}]}},
     8),
    ("update.zip cut, then 200 instead of 206", lambda size: cut_then({"ranges": False}, size), 8),
    ("update.zip cut, then a wrong Content-Range start", lambda size: cut_then({"range_shift": 1000}, size), 8),
    ("update.zip cut, then a changed ETag", lambda size: {PACKAGE: {"sequence": [
        {"cut_body_after": size // 2}, {"etag": '"other"', "ignore_if_range": True}, {"etag": '"other"'}]}}, 8),
    ("update.zip 503 with Retry-After: 2, then 200", lambda size: {PACKAGE: {"sequence": [
        {"status": 503, "body": "busy", "headers": {"Retry-After": "2"}}, {}]}}, 8),
    ("update.zip connection closed at once, every time", lambda size: {PACKAGE: {"close_at_once": True}}, 8),
    ("update.zip stalls after 100 bytes, every time", lambda size: {PACKAGE: {"stall_body_after": 100}}, 8),
    ("update.zip trickles one byte every 20 s", lambda size: {PACKAGE: {"byte_interval": 20}}, 8),
    ("maps.zip stalls after an applied update", lambda size: {"/updates/maps.zip": {"stall_body_after": 10}}, 8),
    ("version.txt stalls after its headers", lambda size: {"/updates/version.txt": {"stall_body_after": 0}}, 8),
    ("version.txt request never answered", lambda size: {"/updates/version.txt": {"delay_headers": 1e9}}, 8),
    ("version.txt of 100 MB", lambda size: {"/updates/version.txt": {"body_file": "updates/huge-version.txt"}}, 8),
    ("1 GB update.zip, connection dropped every 100 MB", lambda size: {PACKAGE: {"cut_body_after": 100 * MB}}, "big"),
    ("1 GB update.zip, no drops (for comparison)", lambda size: {}, "big"),
]


def write_package(path, megabytes):
    """A stored (uncompressed) package of one file of random bytes."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        with archive.open("Data/content.pak", "w", force_zip64=True) as entry:
            for _ in range(megabytes):
                entry.write(os.urandom(MB))


def served_bytes(world):
    with open(os.path.join(world.work, "requests.jsonl"), encoding="utf-8") as f:
        events = [json.loads(line) for line in f if line.strip()]
    return sum(e.get("bytes", 0) for e in events if e.get("event") == "response" and e.get("path") == PACKAGE)


def run_case(runner, index, name, behaviours, megabytes):
    world = World(runner, "bench-%d" % index)
    write_tree(world.install, {"version.txt": b"game-version: 1.2.3\r\nupdater-version: 1.0.0\r\n"})
    world.release(b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n", None, {"maps/a.map": b"a"})
    package = os.path.join(world.updates, "update.zip")
    write_package(package, megabytes)
    with open(os.path.join(world.updates, "huge-version.txt"), "wb") as out:
        out.truncate(100 * MB)
    size = os.path.getsize(package)
    world.behave(behaviours(size))
    record = os.path.join(world.install, "launched.txt")
    started = time.time()
    rc = world.run()
    launched = os.stat(record).st_mtime - started if os.path.exists(record) else float("nan")
    with open(os.path.join(world.install, "version.txt"), "rb") as f:
        applied = f.read().startswith(b"game-version: 1.2.4")
    print("| %s | %.1f s | %s | %.3fx of %d MB |" % (name, launched, "applied" if applied else "skipped",
                                                    served_bytes(world) / size, round(size / MB)),
          flush=True)
    return rc


def main(argv):
    def own_options(parser):
        parser.add_argument("--big-mb", type=int, default=1024)
    args = parse_arguments(argv, __doc__, own_options)
    runner = Runner(args.program, args.stub, wine=args.wine)
    chosen = {int(n) for n in args.only.split(",")} if args.only else None
    print("| server behaviour | time to launch | update | served for update.zip |\n|---|---|---|---|")
    try:
        for index, (name, behaviours, megabytes) in enumerate(CASES):
            if chosen is None or index in chosen:
                run_case(runner, index, name, behaviours, args.big_mb if megabytes == "big" else megabytes)
    finally:
        runner.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
