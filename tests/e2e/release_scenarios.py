#!/usr/bin/env python3
"""Releases made by updater-release: a release it made installed by the built
updater, natively or under Wine, against the local HTTPS update server, and
the tool's exit codes (POSIX only).

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
from harness import Runner, World, parse_arguments, read_tree, run_all, write_tree  # noqa: E402
from scenarios import END, START, expect, expect_launched, tree  # noqa: E402

SIGN_KEY = os.path.join(HERE, "keys", "release_test_key.pem")
GAME = {"game.dat": b"game data v2", "safelist.txt": b"Saves\\*\n", "Data/levels.pak": os.urandom(300000),
        "Data/\u00e9t\u00e9.txt": b"summer", "Bin/Plugins/plugin.dll": b"plugin v2"}
MAPS = {"maps/arena.map": b"arena v2", "readme.txt": b"maps readme"}
OLD_INSTALL = {"version.txt": b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n", "safelist.txt": b"Saves\\*\n",
               "game.dat": b"game data v1", "Data/dropped.pak": b"not in the new release",
               "Saves/slot1.sav": b"player save"}


def release_tool(program):
    candidates = [os.path.join(os.path.dirname(program), "updater-release"), os.environ.get("UPDATER_RELEASE_TOOL", ""),
                  os.path.join(HERE, "..", "..", "build", "native", "updater-release")]
    return next((os.path.abspath(c) for c in candidates if c and os.access(c, os.X_OK)), None)


def run_tool(tool, game, maps, out):
    argv = [tool, "--game-dir", game, "--maps-dir", maps, "--game-version", "2.0.0", "--updater-version", "1.5.0",
            "--out", out, "--sign-key", SIGN_KEY]
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return result.returncode, result.stderr.decode("utf-8", "replace")


def round_trip(runner):
    """An old installation updated to a release that the tool made."""
    world = World(runner, "round-trip")
    write_tree(world.install, OLD_INSTALL)
    write_tree(os.path.join(world.root, "game"), GAME)
    write_tree(os.path.join(world.root, "maps"), MAPS)
    rc, errors = run_tool(runner.tool, os.path.join(world.root, "game"), os.path.join(world.root, "maps"),
                          os.path.dirname(world.updates))
    expect(rc == 0, "the tool made the release: %s" % errors)
    rc, messages = world.run(), world.log_messages()
    expect(rc == 0 and messages[:1] == [START] and END in messages, "exit code %r, log %r" % (rc, messages))
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())
    want = tree(dict(GAME, **{"Saves/slot1.sav": b"player save",
                              "version.txt": b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n"}))
    got = world.install_tree()
    expect(got == want, "installation differs from the game directory: %r" % sorted(set(got) ^ set(want)))
    expect(read_tree(world.data) == tree(dict(MAPS, Replays=None)), "data directory: %r" % read_tree(world.data))
    expect_launched(world)


# The refusals themselves are a unit table; here the tool's exit codes and that
# a refused release publishes nothing.
def release_tool_refusal(runner):
    top = tempfile.mkdtemp(dir=runner.scratch)
    write_tree(os.path.join(top, "maps"), MAPS)
    os.makedirs(os.path.join(top, "game"))
    rc, errors = run_tool(runner.tool, *(os.path.join(top, n) for n in ("game", "maps", "out")))
    expect(rc == 1 and "update.zip: the directory holds no files" in errors, "exit %d, %s" % (rc, errors))
    expect(not os.path.exists(os.path.join(top, "out", "updates", "version.txt")), "nothing published")
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
    chosen = [(s.__name__, s) for s in (round_trip,) + (() if args.wine else (release_tool_refusal,))
              if not args.only or s.__name__ in args.only.split(",")]
    return run_all(chosen, runner)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
