#!/usr/bin/env python3
"""Interrupted updates converge: an update with a safelist on an installation
of a few hundred files is killed with SIGKILL at moments spread over the whole
run (download, extraction, delete phase, copy phase, version write, maps
stage), each time from the same starting installation; one more uninterrupted
run must then leave exactly what an uninterrupted update leaves. Some rounds
serve the package slowly and kill twice: during the download, then during
the next start's resumed download.

  interrupted_scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh [--kills 50]

POSIX build only (the Windows build exits 77, skipped). Prints how many kills
landed in each stage and ends with "N passed, N failed".
"""

import os
import random
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testca  # noqa: E402
from harness import Runner, World, parse_arguments, read_tree, write_tree  # noqa: E402

STAGES = ["version check", "download", "resumed download", "extraction", "delete phase", "copy phase", "cleanup and version write",
          "maps stage", "launch"]
# The first log line of each stage; a kill belongs to the stage of the last line written before it.
STAGE_STARTS = [("Remote game-version=", "download"), ("update.zip: resuming at byte", "resumed download"),
                ("ExtractZip to ", "extraction"),
                ("safelist.txt found", "delete phase"), ("Copied: ", "copy phase"),
                ("Removing empty dir (post-copy): ", "cleanup and version write"), ("AF Data dir: ", "maps stage"),
                ("Launched torvane.exe", "launch")]


RESUMED = "twice in the download"
SLOW_PACKAGE = {"/updates/update.zip": {"rate": 3_000_000}}  # the package of a few MB then takes about a second
TARGETS = [None, ("Remote game-version=", 0.02), RESUMED, ("ExtractZip to ", 0.01), ("safelist.txt found", 0.005),
           ("Copied: ", 0.01), ("Removing empty dir (post-copy): ", 0.015), ("AF Data dir: ", 0.02)]


def old_installation(rng):
    files = {"version.txt": b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n",
             "safelist.txt": b"# player files\nSaves/\n*.cfg\n"}
    for i in range(300):
        files["Data/pack%02d/file%03d.dat" % (i % 12, i)] = rng.randbytes(256 + i * 7)
    for i in range(20):
        files["Saves/slot%02d.sav" % i] = b"save %d" % i
        files["Config/player%02d.cfg" % i] = b"cfg %d" % i
    files["Empty/Nested/Dirs/"] = None
    return files


def new_package(rng, old):
    """Half the old files changed, a quarter dropped, a hundred new; a package of a few MB."""
    package = {}
    data_files = sorted(k for k in old if k.startswith("Data/"))
    for i, rel in enumerate(data_files):
        if i % 4 == 3:
            continue  # dropped: the delete phase removes it
        package[rel] = rng.randbytes(4096 + i * 31) if i % 2 == 0 else old[rel]
    for i in range(100):
        package["NewContent/set%d/item%03d.bin" % (i % 5, i)] = rng.randbytes(8192)
    for i in range(150):  # empty folders: the clean-up before the version write takes a while
        package["NewContent/empty%03d/" % i] = None
    package["safelist.txt"] = old["safelist.txt"]
    return package


def classify(messages):
    stage = "version check"
    for message in messages:
        for prefix, name in STAGE_STARTS:
            if message.startswith(prefix):
                stage = name
    return stage


def prepare(world, old, data):
    os.makedirs(world.data, exist_ok=True)
    for path in (world.install, world.data):
        for entry in os.listdir(path):
            full = os.path.join(path, entry)
            if entry in (world.runner.program_name, "torvane.exe"):
                continue
            shutil.rmtree(full) if os.path.isdir(full) and not os.path.islink(full) else os.remove(full)
    write_tree(world.install, old)
    write_tree(world.data, data)


def wait_for_line(world, process, prefix, timeout=30):
    """Polls the log until a line starting with prefix has been written."""
    path = os.path.join(world.install, "updater.log")
    needle = ("] " + prefix).encode("latin-1")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with open(path, "rb") as f:
                if needle in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    return False


def run_and_kill(world, trigger, delay):
    """Starts the updater, waits for the trigger line (if any), then kills it after the delay."""
    argv = testca.trusted_command(world.runner.command(world), world.runner.pki["bundle"])
    process = subprocess.Popen(argv, cwd=world.cwd, env=world.runner.environment(world, True),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if trigger:
        wait_for_line(world, process, trigger)
    time.sleep(delay)
    process.send_signal(signal.SIGKILL)  # unshare and sh exec into the program: this is the updater
    process.wait()


def snapshot(world):
    return read_tree(world.install, skip=("updater.log", "updater.log.ts", "launched.txt")), read_tree(world.data)


def main(argv):
    def own_options(parser):
        parser.add_argument("--kills", type=int, default=int(os.environ.get("UPDATER_KILLS", "20")))
        parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parse_arguments(argv, __doc__, own_options)
    if args.wine:
        print("the kill test runs on the POSIX build only\n0 passed, 0 failed")
        return 77
    rng = random.Random(args.seed)
    print("seed %d, %d kills" % (args.seed, args.kills), flush=True)

    runner = Runner(args.program, args.stub)
    world = World(runner, "interrupted")
    old = old_installation(rng)
    data = {"Maps/old.map": b"old", "Replays/keep.rep": b"replay"}
    world.release(version=b"game-version: 2.1.0\r\nupdater-version: 1.0.0\r\n", update=new_package(rng, old),
                  maps={"Maps/new%02d.map" % i: rng.randbytes(20000) for i in range(30)})
    world.server.start()
    passed = failed = resumes = 0
    landed = {stage: 0 for stage in STAGES}
    try:
        # The reference: one uninterrupted update, timed up to the game launch.
        prepare(world, old, data)
        started = time.monotonic()
        rc = runner.run_program(world)
        assert rc == 0, world.output
        duration = time.monotonic() - started - 0.3  # the pause after the launch is not part of the update
        reference = snapshot(world)
        assert "version.txt" in reference[0] and reference[0]["version.txt"].startswith(b"game-version: 2.1.0")
        print("uninterrupted update: %.3f s" % duration, flush=True)

        for i in range(args.kills):
            # Every seventh kill falls anywhere in the run; the others aim at one
            # stage each: they wait for its first line, then a random moment.
            target = TARGETS[i % len(TARGETS)]
            prepare(world, old, data)
            if target == RESUMED:
                world.server.set_behaviours(SLOW_PACKAGE)
                trigger, delay = "Remote game-version=", rng.uniform(0.1, 0.7)
                run_and_kill(world, trigger, delay)
                delay = rng.uniform(0.05, 0.4)
                run_and_kill(world, trigger, delay)
                world.server.set_behaviours({})
            else:
                trigger, window = target if target else (None, duration)
                delay = rng.uniform(0, window)
                run_and_kill(world, trigger, delay)
            stage = classify(world.log_messages())
            landed[stage] += 1
            if os.path.exists(os.path.join(world.install, "updater.log")):
                os.remove(os.path.join(world.install, "updater.log"))
            part = os.path.join(world.install, "update.zip.part")
            resumable = os.path.exists(part) and os.path.getsize(part) > 0 and \
                os.path.exists(os.path.join(world.install, "update.zip.resume.part"))
            rc = runner.run_program(world)
            result = snapshot(world)
            resumed = any(m.startswith("update.zip: resuming at byte") for m in world.log_messages())
            resumes += resumed
            if rc == 0 and result == reference and not world.leftovers() and resumed == resumable:
                passed += 1
                continue
            if resumed != resumable:
                print("  a part was left (%s) but the next start resumed: %s" % (resumable, resumed))
            failed += 1
            print("FAIL kill %d: %.4f s after %r (%s)" % (i, delay, trigger, stage), flush=True)
            for name, got, want in (("install", result[0], reference[0]), ("data", result[1], reference[1])):
                extra = sorted(set(got) - set(want))
                missing = sorted(set(want) - set(got))
                changed = sorted(k for k in set(got) & set(want) if got[k] != want[k])
                if extra or missing or changed:
                    print("  %s: extra %s missing %s changed %s" % (name, extra[:5], missing[:5], changed[:5]))
            print("  leftovers: %s" % world.leftovers())
    finally:
        world.server.stop()
        runner.close()
    print("kills per stage: " + ", ".join("%s %d" % (s, landed[s]) for s in STAGES))
    print("next starts that resumed a download: %d" % resumes)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
