#!/usr/bin/env python3
"""The updater's peak memory (/usr/bin/time) for a version.txt of 100 MB and a
package entry that inflates to 200 MB ("When the server misbehaves" in
README.md; bench/download/broken_server.py times the broken servers). Uses the scenario harness of tests/e2e
(the local test server on the port the program was built for; needs root).

  UPDATER_TEST_PORT=48443 bench/e2e/hostile.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh
  (Windows build: --program build/windows/Updater.exe --stub build/windows/tests/torvane_stub.exe --wine)
"""

import os
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import harness  # noqa: E402

MB = 1024 * 1024
VERSION = b"game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n"


def bomb():
    """A package whose one entry declares 1 KB and inflates to 200 MB of zeros."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    stream = b"".join(packer.compress(b"\0" * MB) for _ in range(200)) + packer.flush()
    crc, name = zlib.crc32(b"\0" * 1024), b"game.dat"
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(stream), 1024, len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(stream), 1024, len(name),
                          0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(stream), 0)
    return local + stream + central + end


CASES = [
    ("version.txt of 100 MB in lines of 1 KB", {}, {"version.txt": VERSION + (b"j" * 1023 + b"\n") * (100 * 1024)}),
    ("version.txt with one line of 100 MB", {}, {"version.txt": VERSION + b"A" * (100 * MB)}),
    ("update.zip entry that inflates from 1 KB declared to 200 MB", {}, {"update.zip": bomb()}),
]


def main(argv):
    args = harness.parse_arguments(argv, __doc__)
    runner = harness.Runner(args.program, args.stub, wine=args.wine)
    try:
        for description, behaviours, files in CASES:
            world = harness.World(runner, "bench")
            harness.write_tree(world.install, {"version.txt": b"game-version: 1.2.3\r\nupdater-version: 1.0.0\r\n"})
            world.release(VERSION, {"game.dat": b"new"}, {"maps/a.map": b"a"})
            harness.write_tree(world.updates, files)
            world.behave(behaviours)
            rss = os.path.join(world.work, "peak-rss-kb")  # where nothing is compared
            command = runner.command
            runner.command = lambda w: ["/usr/bin/time", "-f", "%M", "-o", rss] + command(w)
            started = time.time()
            try:
                world.run()
            finally:
                runner.command = command
            launched = os.stat(os.path.join(world.install, "launched.txt")).st_mtime - started
            memory = "%.1f MB" % (int(open(rss).read().split()[-1]) / 1024) if not args.wine else "n/a under Wine"
            print("%s: game launched after %.1f s, peak memory %s" % (description, launched, memory), flush=True)
    finally:
        runner.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
