#!/usr/bin/env python3
"""Runs the demo: a release folder served over HTTPS by nginx (with a demo CA
that only the updater's private mount namespace trusts), a demo installation
with a safelist and a Documents folder with replays, then the log, the trees
before and after, and the game stand-in's launch line. The updater is built
for two servers, the first of which (--port + 1) is down: every file comes
from the second. Then a second release is published, changing one pack, and
the updater runs again: its log shows the differential update fetching only
what changed."""

import argparse
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
import local_ca  # noqa: E402
import nginx_server  # noqa: E402
import sandbox  # noqa: E402


def show_tree(title, root):
    print("\n--- %s (%s)" % (title, root))
    for rel, data in sorted(sandbox.read_tree(root).items()):
        print("   %-40s %s" % (rel + ("/" if data is None else ""), "" if data is None else "%d bytes" % len(data)))


def release_files(version):
    """A release's update.zip: packs large enough to be fetched in pieces, of which 1.2.0 changes one."""
    packs = {"Data/pack%d.pak" % i: random.Random(i).randbytes(200_000) for i in range(3)}
    if version != "1.1.0":
        packs["Data/pack1.pak"] = random.Random(version).randbytes(200_000)
    return dict(packs, **{"torvane.dat": b"game data 1.1.0", "Data/levels.pak": b"levels 1.1.0",
                          "Data/new_arena.pak": b"new in 1.1.0",
                          "safelist.txt": b"# player files the update keeps\nData/Save/\n*.ini\nlaunched.txt\n"})


def publish_second_release(release):
    sandbox.make_zip(os.path.join(release, "updates", "update.zip"), release_files("1.2.0"))
    sandbox.write_tree(os.path.join(release, "updates"), {
        "version.txt": b"game-version: 1.2.0\r\nupdater-version: 1.0.0\r\n"})


def prepare(work, program, stub):
    release = os.path.join(work, "release")
    install = os.path.join(work, "Torvane")
    home = os.path.join(work, "home")
    data = os.path.join(home, "Documents", "Ardentfall Data")
    sandbox.write_tree(os.path.join(release, "updates"), {
        "version.txt": b"game-version: 1.1.0\r\nupdater-version: 1.0.0\r\n"})
    sandbox.make_zip(os.path.join(release, "updates", "update.zip"), release_files("1.1.0"))
    sandbox.make_zip(os.path.join(release, "updates", "maps.zip"), {
        "Maps/arena.map": b"arena 1.1.0", "Maps/canyon.map": b"canyon 1.1.0"})
    sandbox.write_tree(install, {
        "version.txt": b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n",
        "safelist.txt": b"# player files the update keeps\nData/Save/\n*.ini\nlaunched.txt\n",
        "torvane.dat": b"game data 1.0.0", "Data/levels.pak": b"levels 1.0.0", "Data/retired.pak": b"dropped in 1.1.0",
        "Data/Save/slot1.sav": b"the player's save", "options.ini": b"the player's settings"})
    sandbox.write_tree(data, {"Maps/arena.map": b"arena 1.0.0", "Maps/old.map": b"retired map",
                              "Replays/match1.rep": b"the player's replay"})
    shutil.copy2(program, os.path.join(install, os.path.basename(program)))
    shutil.copy2(stub, os.path.join(install, "torvane.exe"))
    return release, install, home, data


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--port", type=int, default=48446)
    parser.add_argument("--wine", action="store_true")
    args = parser.parse_args(argv)

    work = os.path.join(ROOT, "build", "demo-run")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    pki = local_ca.make_pki(os.path.join(work, "pki"))
    release, install, home, data = prepare(work, os.path.abspath(args.program), os.path.abspath(args.stub))
    show_tree("installation before", install)
    show_tree("data directory before", data)

    print("\n--- the first server, localhost:%d, is down; the second serves release 1.1.0" % (args.port + 1))
    nginx = nginx_server.start(work, pki, release, args.port, access_log=True)
    program = os.path.join(install, os.path.basename(args.program))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    log = os.path.join(install, "updater.log")
    try:
        if args.wine:
            run_windows(work, program, home, env, pki)
        else:
            subprocess.run(local_ca.trusted_command([program], pki["bundle"]), cwd=work, env=env, check=False)
        print("\n--- updater.log")
        shown = show_log(log, 0)
        if not args.wine:
            publish_second_release(release)
            print("\n--- release 1.2.0 published (Data/pack1.pak changed); the updater runs again")
            subprocess.run(local_ca.trusted_command([program], pki["bundle"]), cwd=work, env=env, check=False)
            show_log(log, shown)
    finally:
        nginx_server.stop(nginx)
    show_tree("installation after", install)
    show_tree("data directory after", data)
    time.sleep(0.5)
    launched = os.path.join(install, "launched.txt")
    print("\n--- the game stand-in was started with:")
    print(open(launched).read() if os.path.exists(launched) else "   (not started)")
    return 0 if os.path.exists(launched) else 1


def show_log(log, skip):
    """Prints the log's lines after the first `skip`; returns how many it has."""
    with open(log, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")[:-1]
    sys.stdout.write("".join(line + "\n" for line in lines[skip:]))
    return len(lines)


def run_windows(work, program, home, env, pki):
    runner = sandbox.Runner(program, program, wine=True)
    try:
        documents = runner.wine_documents()
        if os.path.islink(documents) or os.path.isfile(documents):
            os.remove(documents)
        else:
            shutil.rmtree(documents, ignore_errors=True)
        os.symlink(os.path.join(home, "Documents"), documents)
        argv = local_ca.trusted_command(["wine", program], pki["bundle"], wine=True)
        process = subprocess.Popen(argv, cwd=work, env=runner.wine_env(home=home))
        shot = os.path.join(work, "progress-window.png")
        window = runner.wait_for_window("Updater - Updating...")
        runner.x("import", "-window", window, shot)
        process.wait(300)
        print("\n--- screenshot of the progress window: " + shot)
    finally:
        runner.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
