#!/usr/bin/env python3
"""The power-cut test (POSIX build): each scenario (one row) is recorded with
scripts/crashsim.py; in every disk state a cut could leave (a) the player's
files are whole, (b) once version.txt names the release every packaged file
holds its bytes (every map too once the maps marker is gone) and the index of
installed files records each with its size and CRC-32, and (c), on
--starts states per scenario and on each state whose files lost unflushed bytes
as none before, one more start ends as an uninterrupted update and starts the
game. Prints the counts and "N passed, N failed"."""

import hashlib
import os
import random
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import server  # noqa: E402
from harness import INDEX, Runner, World, parse_arguments, read_tree  # noqa: E402
from interrupted_scenarios import prepare  # noqa: E402
import crashsim  # noqa: E402  (scripts/, on the path through harness)

RELEASE = b"game-version: 2.1.0\r\n"
OLD, NEW = b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n", RELEASE + b"updater-version: 1.1.0\r\n"
PLAYER = {"Saves/slot%02d.sav" % i: b"save %d" % i for i in range(10)}
PLAYER.update({"Config/player.cfg": b"volume=3", "updater.log.ts": int(time.time()).to_bytes(8, "little")})
LOG = b"[2026-01-01 10:00:00] an earlier start\r\n"
REPLAYS = {"Replays/r%d.rep" % i: b"replay %d" % i for i in range(3)}


def game(rng, count, size):
    return {"Data/pack%02d/file%03d.dat" % (i % 9, i): rng.randbytes(size + i * 13) for i in range(count)}


def scenarios(rng, program):
    """One row per scenario: the installation, the package and maps served, and
    optionally the server's behaviours."""
    old = dict(game(rng, 200, 300), **PLAYER, **{"version.txt": OLD, "safelist.txt": b"Saves/\n*.cfg\n"})
    package = dict(game(rng, 150, 2000), **{"safelist.txt": b"Saves/\n*.cfg\n# more\n", "New/a.bin": b"a" * 9000})
    maps = {"Maps/m%02d.map" % i: rng.randbytes(5000) for i in range(20)}
    new_updater = program + b"\0a newer updater"  # still runs: the tail is never loaded
    return [dict(name="full update with a safelist", install=old, package=package, maps=maps),
            dict(name="self-update", install=old, package=dict(game(rng, 40, 500), **{"Updater": new_updater}),
                 maps=maps),
            dict(name="maps refresh", install=dict(package, **PLAYER, **{"version.txt": NEW, "__maps_pending": b""}),
                 package=package, maps=maps),
            # Without update-sha256 the changed entries are fetched by ranges and checked by their CRC-32.
            # maps.zip keeps its checksum: without one, a resumed part whose bytes a cut lost is only
            # found when it is unpacked, and one more start mends it (a known limit, not this row's subject).
            dict(name="differential update", checked=False, package=package, maps=maps, log=[b" up to date, 2 fetched"],
                 install=dict(package, **PLAYER, **{"version.txt": OLD, "Data/pack00/file000.dat": b"damaged",
                                                    "Data/pack03/file012.dat": b"", "Old/gone.bin": b"old"})),
            # An index that an earlier cut left damaged: every file is read, and a new index replaces it.
            dict(name="differential update over a damaged index", checked=False, package=package, maps=maps,
                 log=[INDEX.encode() + b" is not used (", b" up to date, 1 fetched"],
                 install=dict(package, **PLAYER, **{"version.txt": OLD, "Data/pack05/file014.dat": b"damaged",
                                                    INDEX: b"UPDINDEX\x01\0\0\0" + bytes(24) + b"\xff" * 60}))]


def read_index(data):
    """{name: (size, CRC-32)} of the index of installed files, or None when it is not whole."""
    if data is None or len(data) < 32 or data[:8] != b"UPDINDEX":
        return None
    version, count, names_size, crc = struct.unpack_from("<IIQI", data, 8)
    names = 32 + count * 88
    if version != 1 or len(data) != names + names_size or zlib.crc32(data[32:]) != crc:
        return None
    records = (struct.unpack_from("<Q32xIII", data, 32 + i * 88) for i in range(count))
    return {data[names + at:names + at + length].decode(): (size, crc) for size, crc, at, length in records}


class Explorer:
    def __init__(self, world, row, starts, rng):
        self.world, self.row, self.starts, self.rng = world, row, starts, rng
        self.failures, self.states, self.runs = [], 0, 0

    def install(self, rel):
        return os.path.join(self.world.install, *rel.split("/"))

    def player_damage(self, read):
        """(a): what is wrong with the player's files, by read(path) -> bytes or None."""
        wrong = [rel for rel, data in PLAYER.items() if read(self.install(rel)) != data]
        wrong += [rel for rel, data in REPLAYS.items() if read(os.path.join(self.world.data, rel)) != data]
        return wrong + ["updater.log"] * (not (read(self.world.log) or b"").startswith(LOG))

    def recorded_not_placed(self, state):
        """(b): packaged files or maps that the records claim but that do not hold their bytes."""
        if not (state.read(self.install("version.txt")) or b"").startswith(RELEASE):
            return []
        wrong = [rel for rel, data in self.row["package"].items() if state.read(self.install(rel)) != data]
        if not self.row["install"]["version.txt"].startswith(RELEASE):  # this run recorded the release
            index = read_index(state.read(self.install(INDEX))) or {}
            wrong += ["%s in the index" % rel for rel, data in self.row["package"].items()
                      if index.get(rel) != (len(data), zlib.crc32(data))]
        maps = {} if state.exists(self.install("__maps_pending")) else self.row["maps"]
        return wrong + [rel for rel, data in maps.items() if state.read(os.path.join(self.world.data, rel)) != data]

    def next_start(self, state, reference):
        """(c): one more start from the state ends where an uninterrupted update ends."""
        state.materialize()
        rc, self.runs = self.world.run(serve=False), self.runs + 1
        problems = ["exit status %d" % rc] * (rc != 0)
        problems += ["game not started"] * ("arg=--skip-updater" not in (self.world.launch_record() or ""))
        got = (self.world.install_tree(), read_tree(self.world.data), open(self.install("Updater"), "rb").read())
        problems += ["%s differs: %s" % (name, sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))[:4])
                     for name, a, b in zip(("install", "data"), got[:2], reference[:2]) if a != b]
        problems += ["the updater differs"] * (got[2] != reference[2])
        return problems + self.player_damage(lambda p: open(p, "rb").read() if os.path.isfile(p) else None)

    def explore(self):
        prepare(self.world, dict(self.row["install"], **{"updater.log": LOG}), dict(REPLAYS, **{"Maps/old.map": b"old"}))
        argv = self.world.runner.command(self.world)
        started = time.monotonic()
        recording = crashsim.record(argv, [self.world.install, self.world.data], strace_prefix=len(argv) - 1,
                                    cwd=self.world.cwd, env=self.world.runner.environment(self.world, True))
        reference = (self.world.install_tree(), read_tree(self.world.data), open(self.install("Updater"), "rb").read())
        assert recording.returncode == 0 and reference[0]["version.txt"].startswith(RELEASE), "no update"
        log = open(self.world.log, "rb").read()
        assert all(line in log for line in self.row.get("log", [])), "not the update the row is about"
        points = sum(e[0] != "write" for e in recording.events) + 1
        stride, seen = max(1, points * 4 // self.starts), set()
        for state in crashsim.crash_states(recording, self.rng):
            self.states += 1
            signature = state.signature(ignore={"updater.log", "launched.txt"})  # written, never read
            novel = state.variant != "mixed" and signature not in seen  # mixed: random fates
            seen.add(signature)
            problems = ["player file lost or damaged: %s" % p for p in self.player_damage(state.read)]
            problems += ["recorded as in place, yet not whole: %s" % p for p in self.recorded_not_placed(state)]
            if novel or self.states % stride == stride // 2:
                problems += ["next start: %s" % p for p in self.next_start(state, reference)]
            if problems:
                event = ((recording.events + [("end",)])[state.point] + ("",))[:2]
                self.failures.append("%s (before %s %s): %s" % (state.describe(), event[0],
                                                               os.path.basename(event[1]), problems[:3]))
        print("%s: %d events, %d crash states, %d next starts, %d failed (%.0f s)" % (
            self.row["name"], len(recording.events), self.states, self.runs, len(self.failures),
            time.monotonic() - started), flush=True)
        for failure in self.failures[:10]:
            print("  FAIL " + failure)


def main(argv):
    def own_options(parser):
        parser.add_argument("--starts", type=int, default=10, help="next starts per scenario (c), beside new losses")
        parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parse_arguments(argv, __doc__, own_options)
    rng = random.Random(args.seed)
    print("seed %d" % args.seed, flush=True)
    runner = Runner(args.program, args.stub, keep=args.keep)
    states = failed = 0
    try:
        for row in scenarios(rng, open(args.program, "rb").read()):
            if args.only and row["name"] not in args.only.split(","):
                continue
            world = World(runner, "crash")
            world.release(NEW, row["package"], row["maps"])
            checksums = b"".join(b"%s-sha256: %s\r\n%s-size: %d\r\n" % (
                name, hashlib.sha256(data).hexdigest().encode(), name, len(data)) for name, data in (
                (n, open(os.path.join(world.updates, n.decode() + ".zip"), "rb").read())
                for n in (b"update", b"maps")[0 if row.get("checked", True) else 1:]))
            world.release(NEW + checksums)
            world.behave(row.get("server", {}))  # a row's server behaviours (server.py)
            world.start_server()
            try:
                explorer = Explorer(world, row, args.starts, rng)
                explorer.explore()
            finally:
                server.stop(world.server)
            states, failed = states + explorer.states, failed + len(explorer.failures)
    finally:
        runner.close()
    print("%d crash states: %d passed, %d failed" % (states, states - failed, failed))
    return 1 if failed or not states else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
