#!/usr/bin/env python3
"""Releases made by updater-release: the tool refusing bad game directories
(its command line, POSIX only), and releases it made installed by the built
updater, natively or under Wine, against the local HTTPS update server.

  release_scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh
  release_scenarios.py --program build/windows/Updater.exe --stub ... --wine

The tool is the one beside --program, else $UPDATER_RELEASE_TOOL, else
build/native/updater-release (the Windows build has no tool of its own); without
one the script exits 77 (skipped). Releases are signed with the test key in
keys/, which builds without a release key ignore and builds configured with
-DUPDATER_PUBLIC_KEY=tests/e2e/keys/release_test_key.pub.pem require.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from harness import Runner, World, make_zip, parse_arguments, read_tree, run_all, write_tree  # noqa: E402
from scenarios import END, START, expect, expect_in_order, expect_launched, tree  # noqa: E402

SIGN_KEY = os.path.join(HERE, "keys", "release_test_key.pem")
GAME = {
    "game.dat": b"game data v2",
    "safelist.txt": b"Saves\\*\n",
    "Data/levels.pak": os.urandom(300000),
    "Data/\u00e9t\u00e9.txt": b"summer",
    "Bin/Plugins/plugin.dll": b"plugin v2",
}
MAPS = {"maps/arena.map": b"arena v2", "readme.txt": b"maps readme"}
OLD_INSTALL = {
    "version.txt": b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n",
    "safelist.txt": b"Saves\\*\n",
    "game.dat": b"game data v1",
    "Data/dropped.pak": b"not in the new release",
    "Saves/slot1.sav": b"player save",
}
SCENARIOS = []


def scenario(windows=True):
    def register(fn):
        fn.windows = windows
        SCENARIOS.append(fn)
        return fn
    return register


def release_tool(program):
    candidates = [os.path.join(os.path.dirname(program), "updater-release"), os.environ.get("UPDATER_RELEASE_TOOL", ""),
                  os.path.join(HERE, "..", "..", "build", "native", "updater-release")]
    return next((os.path.abspath(c) for c in candidates if c and os.access(c, os.X_OK)), None)


def expect_clean_end(world, rc, messages):
    expect(rc == 0, "exit code %r (output: %s)" % (rc, world.output))
    expect(messages[:1] == [START] and END in messages, "start and end markers: %r" % messages)
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())


def run_tool(tool, game, maps, out, sign=True):
    argv = [tool, "--game-dir", game, "--maps-dir", maps, "--game-version", "2.0.0", "--updater-version", "1.5.0",
            "--out", out] + (["--sign-key", SIGN_KEY] if sign else [])
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return result.returncode, result.stderr.decode("utf-8", "replace")


def released_world(runner, name):
    """An old installation and a release made by the tool from GAME and MAPS."""
    world = World(runner, name)
    write_tree(world.install, OLD_INSTALL)
    write_tree(os.path.join(world.root, "game"), GAME)
    write_tree(os.path.join(world.root, "maps"), MAPS)
    rc, errors = run_tool(runner.tool, os.path.join(world.root, "game"), os.path.join(world.root, "maps"),
                          os.path.dirname(world.updates))
    expect(rc == 0, "the tool made the release: %s" % errors)
    return world


def expect_installed_release(world):
    want = tree(dict(GAME, **{"Saves/slot1.sav": b"player save",
                                          "version.txt": b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n"}))
    got = world.install_tree()
    expect(got == want, "installation differs from the game directory: %r" % sorted(set(got) ^ set(want)))
    data = read_tree(world.data)
    expect(data == tree(dict(MAPS, Replays=None)), "data directory: %r" % sorted(data))


@scenario()
def round_trip(runner):
    world = released_world(runner, "round-trip")
    rc = world.run()
    expect_clean_end(world, rc, world.log_messages())
    expect_installed_release(world)
    expect_launched(world)


@scenario()
def stale_package_under_new_version_file(runner):
    world = released_world(runner, "stale")
    package = os.path.join(world.updates, "update.zip")
    os.rename(package, package + ".right")
    make_zip(package, {"game.dat": b"game data v1.5"})
    before = world.install_tree()
    rc = world.run()
    messages = world.log_messages()
    expect_clean_end(world, rc, messages)
    expect_in_order(messages, ["update.zip does not match version.txt: size expected *",
                               "Download update.zip failed. Will skip update.", "Launched torvane.exe successfully."])
    expect(world.install_tree() == before, "nothing installed from the stale package")

    os.replace(package + ".right", package)
    rc = world.run()
    expect_clean_end(world, rc, world.log_messages())
    expect_installed_release(world)


# Game directories the tool must refuse: (files, a link to make, part of the error).
REFUSED = [
    ({"CON.txt": b"x"}, None, "CON.txt: players' updaters refuse this name"),
    ({"Data/a:b.txt": b"x"}, None, "Data/a:b.txt: players' updaters refuse"),
    ({"C:evil.txt": b"x"}, None, "C:evil.txt: players' updaters refuse"),
    ({"name.": b"x"}, None, "name.: players' updaters refuse"),
    ({"..\\evil.txt": b"x"}, None, "the name holds a backslash"),
    ({b"\xff.txt".decode("utf-8", "surrogateescape"): b"x"}, None, "the name is not UTF-8"),
    ({"Data/Map.pak": b"x", "Data/map.PAK": b"y"}, None, "differs only in letter case"),
    ({"Data/a.pak": b"x", "data/b.pak": b"y"}, None, "differs only in letter case"),
    ({"safelist.txt": b"\xef\xbb\xbfSaves\\*\n", "game.dat": b"x"}, None, "starts with a byte-order mark"),
    ({"game.dat": b"x"}, ("link.dat", "/etc/hostname"), "link.dat: is a link"),
    ({}, None, "update.zip: the directory holds no files"),
]
WARNED = [
    ({"Updater.exe": b"MZ", "game.dat": b"x"}, "the package holds the updater (Updater.exe)"),
    ({"safelist.txt": b"Saves\\*\ngame.dat\n", "game.dat": b"x"}, "safelist pattern 'Saves\\*' matches nothing"),
]


@scenario(windows=False)
def release_tool_refusals(runner):
    for files, link, message in REFUSED:
        with tempfile.TemporaryDirectory(dir=runner.scratch) as top:
            game, maps, out = (os.path.join(top, n) for n in ("game", "maps", "out"))
            os.makedirs(game)
            write_tree(game, files)
            write_tree(maps, MAPS)
            if link:
                os.symlink(link[1], os.path.join(game, link[0]))
            rc, errors = run_tool(runner.tool, game, maps, out)
            expect(rc == 1 and message in errors, "%r: exit %d, %s" % (files, rc, errors))
            expect(not os.path.exists(os.path.join(out, "updates", "version.txt")), "nothing published: %r" % files)
    for files, message in WARNED:
        with tempfile.TemporaryDirectory(dir=runner.scratch) as top:
            write_tree(os.path.join(top, "game"), files)
            write_tree(os.path.join(top, "maps"), MAPS)
            rc, errors = run_tool(runner.tool, os.path.join(top, "game"), os.path.join(top, "maps"),
                                  os.path.join(top, "out"), sign=False)
            expect(rc == 0 and "warning: game directory: " + message in errors, "%r: exit %d, %s" % (files, rc, errors))
    usage = subprocess.run([runner.tool, "--game-dir", "x"], stderr=subprocess.PIPE)
    expect(usage.returncode == 2 and b"usage:" in usage.stderr, "a wrong command line: %r" % usage.stderr)


def main(argv):
    args = parse_arguments(argv, __doc__, lambda p: p.add_argument("--smoke", action="store_true"))
    tool = release_tool(args.program)
    if tool is None:
        print("no updater-release built; skipped")
        return 77
    if os.geteuid() != 0:
        print("the scenarios need root for their private mount namespace")
        return 1
    runner = Runner(args.program, args.stub, wine=args.wine, keep=args.keep)
    runner.tool = tool
    chosen = [(s.__name__, s) for s in SCENARIOS if (s.windows or not args.wine)
              and (not args.only or s.__name__ in args.only.split(","))]
    return run_all(chosen, runner)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
