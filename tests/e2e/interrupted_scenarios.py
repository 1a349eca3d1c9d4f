#!/usr/bin/env python3
"""The kill test (POSIX build): a differential update with a safelist on an
installation of a few hundred files is killed with SIGKILL at moments spread
over the run (the comparison, the ranged fetch, a full download's
extraction, the phases after it), each
time from the same start (some rounds kill twice: during a slow fetch, then
during the next start's); one more run must then leave exactly what an
uninterrupted update leaves, which is what the full update leaves. --kills (or UPDATER_KILLS, 12 by default);
prints where the kills landed and "N passed, N failed".
"""

import os
import random
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import server  # noqa: E402
from harness import Runner, World, parse_arguments, read_tree, write_tree  # noqa: E402

# The first log line of each stage (a kill belongs to the stage of the last one
# written before it) and how long after it the kills that aim at it may wait.
STAGES = [("", "version check", None), ("Remote game-version=", "comparison, ranged fetch or download", 0.02),
          ("update.zip: resuming at byte", "resumed download", None),
          ("ExtractZip to ", "extraction", 0.01), ("safelist.txt found", "delete phase", 0.005),
          ("Copied: ", "copy phase", 0.01), ("Removing empty dir (post-copy): ", "cleanup and version write", 0.015),
          ("AF Data dir: ", "maps stage", 0.02), ("Launched torvane.exe", "launch", None)]
# Every seventh kill falls anywhere in the run, the others wait for one stage's first line.
TARGETS = [None] + [(prefix, window) for prefix, _, window in STAGES if window]
TARGETS.insert(2, "twice in the download")
# The full download ("update.zip: ...; downloading the whole package"), unpacked on several threads as it
# arrives, and the extraction's check after it.
TARGETS.append(("update.zip: ", 0.08, {"/updates/update.zip": {"ranges": False}}))
SLOW_PACKAGE = {"/updates/update.zip": {"rate": 3_000_000}}  # the package of a few MB then takes about a second


def releases(rng):
    """The old installation and the new package: a quarter of the old files
    changed, a quarter dropped, twenty new (few enough for a differential
    update), and empty folders that take the clean-up a while."""
    old = {"version.txt": b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n",
           "safelist.txt": b"# player files\nSaves/\n*.cfg\n", "Empty/Nested/Dirs/": None}
    for i in range(300):
        old["Data/pack%02d/file%03d.dat" % (i % 12, i)] = rng.randbytes(12000 + i * 7)
    for i in range(20):
        old["Saves/slot%02d.sav" % i], old["Config/player%02d.cfg" % i] = b"save %d" % i, b"cfg %d" % i
    package = {"safelist.txt": old["safelist.txt"]}
    for i, rel in enumerate(sorted(k for k in old if k.startswith("Data/"))):
        if i % 4 != 3:
            package[rel] = rng.randbytes(4096 + i * 31) if i % 4 == 0 else old[rel]
    for i in range(20):
        package["NewContent/set%d/item%03d.bin" % (i % 5, i)] = rng.randbytes(8192)
    for i in range(150):
        package["NewContent/empty%03d/" % i] = None
    return old, package


def prepare(world, old, data):
    """The starting installation and data directory, the program and the game stand-in kept."""
    for path in (world.install, world.data):
        os.makedirs(path, exist_ok=True)
        for entry in set(os.listdir(path)) - {world.runner.program_name, "torvane.exe"}:
            full = os.path.join(path, entry)
            shutil.rmtree(full) if os.path.isdir(full) and not os.path.islink(full) else os.remove(full)
    write_tree(world.install, old)
    write_tree(world.data, data)


def run_and_kill(world, trigger, delay):
    """Starts the updater, waits for the trigger line (if any), then kills it after the delay."""
    process = world.runner.start_program(world)
    needle = ("] " + (trigger or "")).encode("latin-1")
    deadline = time.monotonic() + 30
    while trigger and time.monotonic() < deadline and process.poll() is None:
        try:
            if needle in open(world.log, "rb").read():
                break
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    time.sleep(delay)
    process.send_signal(signal.SIGKILL)  # unshare and sh exec into the program: this is the updater
    process.wait()


def run(world):
    """One uninterrupted run: its exit status and the trees it leaves."""
    return world.run(serve=False), world.install_tree(), read_tree(world.data)


def main(argv):
    def own_options(parser):
        parser.add_argument("--kills", type=int, default=int(os.environ.get("UPDATER_KILLS", "12")))
        parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parse_arguments(argv, __doc__, own_options)
    rng = random.Random(args.seed)
    print("seed %d, %d kills" % (args.seed, args.kills), flush=True)
    runner = Runner(args.program, args.stub)
    world = World(runner, "interrupted")
    old, package = releases(rng)
    data = {"Maps/old.map": b"old", "Replays/keep.rep": b"replay"}
    world.release(b"game-version: 2.1.0\r\nupdater-version: 1.0.0\r\n", package,
                  {"Maps/new%02d.map" % i: rng.randbytes(20000) for i in range(30)})
    world.start_server()
    passed = failed = resumes = 0
    landed = dict.fromkeys([name for _, name, _ in STAGES], 0)
    try:
        prepare(world, old, data)
        started = time.monotonic()
        reference = run(world)
        duration = time.monotonic() - started - 0.3  # the pause after the launch is not part of the update
        assert reference[0] == 0 and reference[1]["version.txt"].startswith(b"game-version: 2.1.0"), reference[0]
        assert any(" fetched in " in m for m in world.log_messages()), "the update was not differential"
        prepare(world, old, data)
        world.behave({"/updates/update.zip": {"ranges": False}})
        assert run(world) == reference, "the differential update left another result than the full update"
        world.behave({})
        print("uninterrupted update: %.3f s" % duration, flush=True)
        for i in range(args.kills):
            target = TARGETS[i % len(TARGETS)]
            prepare(world, old, data)
            if isinstance(target, str):
                world.behave(SLOW_PACKAGE)
                trigger = "Remote game-version="
                for delay in (rng.uniform(0.1, 0.7), rng.uniform(0.05, 0.4)):
                    world.forget_log()  # the trigger is the second run's
                    run_and_kill(world, trigger, delay)
                world.behave({})
            else:
                trigger, window, behaviour = (target or (None, duration)) + ({},) * (len(target or ()) < 3)
                delay = rng.uniform(0, window)
                world.behave(behaviour)
                run_and_kill(world, trigger, delay)
                world.behave({})
            # A kill before the first log line belongs to the first stage.
            stage = ([name for prefix, name, _ in STAGES if any(m.startswith(prefix) for m in world.log_messages())]
                     or [STAGES[0][1]])[-1]
            landed[stage] += 1
            world.forget_log()
            part = os.path.join(world.install, "update.zip.part")
            resumable = os.path.exists(part) and os.path.getsize(part) > 0 and \
                os.path.exists(os.path.join(world.install, "update.zip.resume.part"))
            result = run(world)
            resumed = any(m.startswith("update.zip: resuming at byte") for m in world.log_messages())
            resumes += resumed
            if result == reference and not world.leftovers() and resumed == resumable:
                passed += 1
                continue
            failed += 1
            if resumed != resumable:
                print("  a part was left (%s) but the next start resumed: %s" % (resumable, resumed))
            print("FAIL kill %d: %.4f s after %r (%s); leftovers %s" % (i, delay, trigger, stage, world.leftovers()))
            for name, got, want in zip(("install", "data"), result[1:], reference[1:]):
                print("  %s: extra %s missing %s changed %s" % (
                    name, sorted(set(got) - set(want))[:5], sorted(set(want) - set(got))[:5],
                    sorted(k for k in set(got) & set(want) if got[k] != want[k])[:5]))
    finally:
        server.stop(world.server)
        runner.close()
    print("kills per stage: " + ", ".join("%s %d" % item for item in landed.items()))
    print("next starts that resumed a download: %d" % resumes)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
