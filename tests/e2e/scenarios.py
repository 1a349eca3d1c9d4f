#!/usr/bin/env python3
"""End-to-end scenarios: the built updater, copied into a scratch install
directory, run from another working directory against the local HTTPS update
server, natively (POSIX build) or under Wine (Windows build).

  scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh
  scenarios.py --program build/windows/Updater.exe --stub build/windows/tests/torvane_stub.exe --wine
  options: --only NAME[,NAME...]  --keep (leave the scratch folders)

Each scenario checks the log lines in order, the resulting trees, version.txt's
bytes, the game's launch record and that no temporary file is left behind.
Ends with the line "N passed, N failed".
"""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testca  # noqa: E402
from harness import Runner, World, chosen_scenarios, parse_arguments, run_scenarios  # noqa: E402

ARROW = "?"  # U+2192 as the one-byte log stores it

OLD_INSTALL = {
    "version.txt": b"game-version: 1.2.3\r\nupdater-version: 1.0.0\r\n",
    "game.dat": b"old game data",
    "Data/levels.pak": b"old levels",
    "Data/old_only.pak": b"dropped by the new release",
    "Data/Save/slot1.sav": b"player save",
    "Config/options.ini": b"player options",
    "Old/Deep/Er/gone.txt": b"dropped too",
    "EmptyBefore": None,
}
NEW_PACKAGE = {
    "game.dat": b"new game data",
    "Data/levels.pak": b"new levels",
    "Data/new_only.pak": b"added by the new release",
    "Bin/Plugins/plugin.dll": b"new plugin",
    "Docs/": None,
}
MAPS = {"maps/arena.map": b"arena v2", "maps/desert.map": b"desert v2", "readme.txt": b"maps readme"}
OLD_DATA = {"maps/arena.map": b"arena v1", "old.map": b"old map", "Replays/r1.rep": b"replay one",
            "replays/r2.rep": b"replay two"}
VERSION_124 = b"game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n"
NEW_VERSION_BYTES = b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n"

SCENARIOS = []


def scenario(windows=False, posix=True):
    def register(fn):
        fn.windows = windows
        fn.posix = posix
        SCENARIOS.append(fn)
        return fn
    return register


# -- checks ----------------------------------------------------------------------

def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def matches(line, pattern):
    """'*' in the pattern stands for any text."""
    pieces = pattern.split("*")
    if len(pieces) == 1:
        return line == pattern
    if not (line.startswith(pieces[0]) and line.endswith(pieces[-1])):
        return False
    position = len(pieces[0])
    for piece in pieces[1:-1]:
        position = line.find(piece, position)
        if position < 0:
            return False
        position += len(piece)
    return position <= len(line) - len(pieces[-1])


def expect_in_order(messages, expected):
    """Each expected line (with '*' for any text) appears, in this order."""
    position = 0
    for want in expected:
        while position < len(messages):
            got = messages[position]
            position += 1
            if matches(got, want):
                break
        else:
            raise AssertionError("log line %r missing or out of order in:\n  %s" % (want, "\n  ".join(messages)))


def expect_launched(world):
    record = world.launch_record()
    expect(record is not None, "the game was not started")
    if world.runner.wine:
        game = world.path_text(world.install, "torvane.exe")
        expect(record == 'cmdline="%s" --skip-updater\ncwd=%s\n' % (game, world.path_text(world.install)),
               "launch record: %r" % record)
    else:
        expect(record == "cwd=%s\narg=--skip-updater\n" % world.install, "launch record: %r" % record)


def expect_common_end(world, rc, messages):
    expect(rc == 0, "exit code %r (output: %s)" % (rc, world.output))
    expect(messages[0] == "=== Updater start (loader) ===", "start marker first: %r" % messages[:1])
    expect("=== Updater end (loader) ===" in messages, "end marker written")
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())


def version_bytes(world):
    path = os.path.join(world.install, "version.txt")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def updated_install(extra=None, drop=()):
    """The installation after NEW_PACKAGE was applied without a safelist."""
    tree = {k: v for k, v in OLD_INSTALL.items() if v is not None}
    tree.update({k: v for k, v in NEW_PACKAGE.items() if v is not None})
    tree["version.txt"] = NEW_VERSION_BYTES
    tree.update(extra or {})
    for rel in drop:
        tree.pop(rel, None)
    return with_directories(tree)


def with_directories(files):
    tree = dict(files)
    for rel in files:
        parts = rel.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            tree.setdefault("/".join(parts[:i]), None)
    return tree


def standard_world(runner, name, safelist=None, install_name="install"):
    world = World(runner, name, install_name)
    from harness import write_tree
    write_tree(world.install, OLD_INSTALL)
    if safelist is not None:
        write_tree(world.install, {"safelist.txt": safelist})
    write_tree(world.data, OLD_DATA)
    world.release(version=VERSION_124, update=NEW_PACKAGE, maps=MAPS)
    return world


def expect_maps_refreshed(world):
    from harness import read_tree
    data = read_tree(world.data)
    want = with_directories(dict(MAPS, **{"Replays/r1.rep": b"replay one", "replays/r2.rep": b"replay two"}))
    expect(data == want, "data directory: %r" % sorted(data))


# -- scenarios -------------------------------------------------------------------

@scenario(windows=True)
def no_local_version_and_no_server(runner):
    world = World(runner, "no-server")
    rc = world.run(server=False)
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, [
        "=== Updater start (loader) ===",
        "UpdaterWorker started",
        "Local version.txt not found or unreadable. Using defaults 0.0.0.",
        "Local game-version=0.0.0, updater-version=0.0.0",
        "Failed to download remote version.txt. Proceeding without update.",
        "No update needed.",
        "Skipping maps.zip (no game update was applied).",
        "Launched torvane.exe successfully.",
    ])
    expect(version_bytes(world) is None, "no version.txt is made")
    expect_launched(world)


@scenario(windows=True)
def equal_versions(runner):
    world = standard_world(runner, "equal")
    world.release(version=b"game-version: 1.2.3\nupdater-version: 2.0.0\n")
    before = world.install_tree()
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, [
        "Local game-version=1.2.3, updater-version=1.0.0",
        "Remote game-version=1.2.3, updater-version=2.0.0",
        "No update needed.",
        "Skipping maps.zip (no game update was applied).",
        "Launched torvane.exe successfully.",
    ])
    expect(world.install_tree() == before, "installation untouched")
    paths = [r["path"] for r in world.server.requests()]
    expect(paths == ["/updates/version.txt"], "only the version file is fetched: %r" % paths)
    agents = {r["user_agent"] for r in world.server.requests()}
    expect(agents == {"TELV-Updater/1.0 (+https://localhost)"}, "User-Agent: %r" % agents)
    expect_launched(world)


@scenario()
def update_without_safelist(runner):
    world = standard_world(runner, "no-safelist")
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    install = world.path_text(world.install)
    expect_in_order(messages, [
        "Remote game-version=1.2.4, updater-version=9.9.9",
        "ExtractZip to " + world.path_text(world.install, "_update_temp"),
        "Extracted file count: 4",
        "safelist.txt NOT found in install %s skipping delete phase." % ARROW,
        "Copied: *",
        "version.txt updated (game=1.2.4, updater=1.0.0)",
        "AF Data dir: " + world.data_text(),
        "maps.zip extracted successfully.",
        "Launched torvane.exe successfully.",
    ])
    expect(not any(m.startswith("Deleting old file: ") for m in messages), "nothing deleted without safelist")
    copied = sorted(m for m in messages if m.startswith("Copied: "))
    expect(len(copied) == 4 and all(m.startswith("Copied: " + install) for m in copied), "copied: %r" % copied)
    expect("Removing empty dir (post-copy): " + world.path_text(world.install, "EmptyBefore") in messages,
           "empty directories go after the copy")
    expect(world.install_tree() == updated_install(), "installation: %r" % sorted(world.install_tree()))
    expect(version_bytes(world) == NEW_VERSION_BYTES, "version.txt bytes")
    expect_maps_refreshed(world)
    expect_launched(world)


@scenario(windows=True)
def update_with_safelist(runner):
    safelist = b"# kept by the player\nData/Save/\nConfig\\options.ini\n*.log\n"
    world = standard_world(runner, "safelist", safelist=safelist)
    from harness import write_tree
    write_tree(world.install, {"Sub/Updater.exe": b"not protected here", "notes.log": b"kept by *.log",
                               "Kept/Empty/": None})
    world.release(update=dict(NEW_PACKAGE, **{"Kept/Empty/": None, "safelist.txt": safelist}))
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, [
        "Extracted file count: 5",
        "safelist.txt found in install dir %s performing delete phase." % ARROW,
        "Deleting old file: *",
        "Removing empty dir: *",
        "Copied: *",
        "version.txt updated (game=1.2.4, updater=1.0.0)",
        "maps.zip extracted successfully.",
        "Launched torvane.exe successfully.",
    ])
    deleted = sorted(m[len("Deleting old file: "):] for m in messages if m.startswith("Deleting old file: "))
    expect(deleted == sorted(["Data\\old_only.pak", "Old\\Deep\\Er\\gone.txt", "Sub\\Updater.exe", "update.zip",
                              "updater.log.ts"]),
           "deleted: %r" % deleted)
    removed = [m[len("Removing empty dir: "):] for m in messages if m.startswith("Removing empty dir: ")]
    nested = [d for d in removed if d.startswith("Old")]
    expect(nested == ["Old\\Deep\\Er", "Old\\Deep", "Old"], "innermost first: %r" % removed)
    expect("EmptyBefore" in removed and "Sub" in removed, "pre-existing empty and emptied dirs: %r" % removed)
    expect("Kept\\Empty" not in removed and "Kept" not in removed, "the package's empty dir and its parent stay")
    # After the copy every empty directory goes, the package's own included.
    post_copy = [m for m in messages if m.startswith("Removing empty dir (post-copy): ")]
    expect(post_copy[:2] == ["Removing empty dir (post-copy): " + world.path_text(world.install, "Kept", "Empty"),
                             "Removing empty dir (post-copy): " + world.path_text(world.install, "Kept")]
           or "Removing empty dir (post-copy): " + world.path_text(world.install, "Kept") in post_copy,
           "post-copy removal: %r" % post_copy)
    tree = world.install_tree()
    want = updated_install(extra={"safelist.txt": safelist, "notes.log": b"kept by *.log"},
                           drop=("Data/old_only.pak", "Old/Deep/Er/gone.txt"))
    expect(tree == want, "installation differs:\n got  %r\n want %r" % (sorted(tree), sorted(want)))
    expect(version_bytes(world) == NEW_VERSION_BYTES, "version.txt bytes")
    expect(not os.path.exists(os.path.join(world.install, "__maps_pending")), "no pending maps refresh")
    expect_maps_refreshed(world)
    expect_launched(world)


def expect_update_skipped(world, rc, route_lines, before):
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, route_lines + ["Skipping maps.zip (no game update was applied).",
                                             "Launched torvane.exe successfully."])
    expect(world.install_tree() == before, "installation untouched")
    expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")
    expect(not os.path.exists(os.path.join(world.install, "_update_temp")), "no extraction directory")
    expect_launched(world)
    return messages


@scenario(windows=True)
def package_download_fails(runner):
    world = standard_world(runner, "download-fails")
    os.remove(os.path.join(world.server.updates, "update.zip"))
    before = world.install_tree()
    messages = expect_update_skipped(world, world.run(), ["Download update.zip failed. Will skip update."], before)
    expect(not any(m.startswith("ExtractZip to ") for m in messages), "nothing extracted")


@scenario(windows=True)
def truncated_package_resumed(runner):
    # Cut after 100 bytes once: the same start asks for the rest and applies it.
    world = standard_world(runner, "truncated")
    world.server.set_behaviours({"/updates/update.zip": {"sequence": [{"cut_body_after": 100}, {}]}})
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["update.zip: * at byte 100; attempt 2 in *", "version.txt updated*"])
    ranges = [r["range"] for r in world.server.requests() if r["path"] == "/updates/update.zip"]
    expect(ranges == [None, "bytes=100-"], "ranges asked for: %r" % ranges)


@scenario()
def damaged_package(runner):
    world = standard_world(runner, "damaged")
    with open(os.path.join(world.server.updates, "update.zip"), "wb") as out:
        out.write(b"<html>this is not a package</html>")
    before = world.install_tree()
    expect_update_skipped(world, world.run(), ["ExtractZip to *", "Extract failed. Skipping update."], before)


@scenario()
def unsafe_package(runner):
    world = standard_world(runner, "unsafe")
    world.release(update={"game.dat": b"new", "../escaped.txt": b"outside"})
    before = world.install_tree()
    expect_update_skipped(world, world.run(), ["Extract failed. Skipping update."], before)
    expect(not os.path.exists(os.path.join(world.root, "escaped.txt")), "nothing written outside")


@scenario()
def empty_package(runner):
    world = standard_world(runner, "empty")
    world.release(update={"OnlyDirs/": None, "OnlyDirs/Inner/": None})
    before = world.install_tree()
    expect_update_skipped(world, world.run(), [
        "Extracted file count: 0", "Package empty. Skipping prune/copy."], before)


def expect_incomplete_then_convergence(world, rc, blocked, clear_obstacle):
    """The first run could not copy `blocked`: nothing is recorded; once the
    obstacle is gone the next start repeats the update and converges."""
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, [
        "Failed to copy: " + world.path_text(world.install, blocked),
        "Update incomplete: 1 file(s) could not be copied. version.txt left unchanged; "
        "the update will be retried on next start.",
        "Skipping maps.zip (no game update was applied).",
        "Launched torvane.exe successfully.",
    ])
    expect(not any(m.startswith("version.txt updated") for m in messages), "not recorded as updated")
    expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")
    clear_obstacle()
    os.remove(os.path.join(world.install, "updater.log"))
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully."])
    expect(world.install_tree() == updated_install(), "converged installation")
    expect_maps_refreshed(world)


@scenario(windows=True)
def copy_failure_then_convergence(runner):
    world = standard_world(runner, "copy-fails")
    from harness import write_tree
    # A directory stands where the package has a file: that copy must fail.
    os.remove(os.path.join(world.install, "game.dat"))
    write_tree(world.install, {"game.dat/blocker.txt": b"in the way"})
    expect_incomplete_then_convergence(world, world.run(), "game.dat",
                                       lambda: shutil.rmtree(os.path.join(world.install, "game.dat")))


@scenario(windows=True)
def maps_download_fails_keeps_data(runner):
    world = standard_world(runner, "maps-fail")
    world.server.set_behaviours({"/updates/maps.zip": {"status": 500}})
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    package = world.data_text("__maps.zip")
    expect_in_order(messages, [
        "version.txt updated (game=1.2.4, updater=1.0.0)",
        "AF Data dir: " + world.data_text(),
        "Downloading maps.zip to: " + package,
        "Download maps.zip failed.",
        "maps.zip update skipped/failed.",
        "Launched torvane.exe successfully.",
    ])
    expect(not any(m.startswith("Removing ") and "in Data" in m for m in messages), "nothing cleaned")
    from harness import read_tree
    expect(read_tree(world.data) == with_directories(OLD_DATA), "the player's maps stay")
    expect_launched(world)


@scenario(windows=True)
def no_documents_folder(runner):
    world = standard_world(runner, "no-documents")
    rc = world.run(documents=False)
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)",
                               "Could not resolve Documents data directory.",
                               "Launched torvane.exe successfully."])
    expect(not any(m.startswith("AF Data dir: ") for m in messages), "no data directory used")
    expect_launched(world)


@scenario()
def unfinished_maps_refresh_is_repeated(runner):
    # An earlier run recorded the new version but stopped before the maps.
    world = standard_world(runner, "maps-pending")
    from harness import write_tree
    write_tree(world.install, {"version.txt": NEW_VERSION_BYTES, "__maps_pending": b""})
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["No update needed.",
                               "The maps refresh of the last update did not finish; refreshing maps now.",
                               "maps.zip extracted successfully.", "Launched torvane.exe successfully."])
    expect(not os.path.exists(os.path.join(world.install, "__maps_pending")), "the marker is cleared")
    expect_maps_refreshed(world)


@scenario()
def no_game_executable(runner):
    world = standard_world(runner, "no-game")
    os.remove(os.path.join(world.install, "torvane.exe"))
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["maps.zip extracted successfully.", "torvane.exe missing. Cannot launch."])


@scenario(windows=True)
def install_path_with_blanks_and_non_ascii(runner):
    world = standard_world(runner, "odd-path", safelist=b"Data/Save\n", install_name="My Games/Torvane \u00e9\u4e2d")
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully.",
                               "Launched torvane.exe successfully."])
    tree = world.install_tree()
    expect(tree.get("game.dat") == b"new game data" and "Data/old_only.pak" not in tree, "update applied")
    expect(tree.get("Data/Save/slot1.sav") == b"player save", "safelisted save kept")
    expect_launched(world)


# -- locked and odd files (Windows build only) --------------------------------------

def run_while_held(world, held_file, seconds=60):
    """Runs the updater under Wine while hold_file.exe, in the same wineserver,
    holds held_file open with share mode 0."""
    runner = world.runner
    holder = os.path.join(os.path.dirname(runner.stub), "hold_file.exe")
    script = ('wine "$0" "$1" "$2" & holder=$!; '
              'for i in $(seq 200); do [ -e "$4.held" ] && break; sleep 0.1; done; '
              'wine "$3"; rc=$?; kill $holder; wait $holder 2>/dev/null; rm -f "$4.held"; exit $rc')
    argv = ["sh", "-c", script, holder, runner.path_text(held_file), str(seconds),
            os.path.join(world.install, runner.program_name), held_file]
    world.server.start()
    try:
        result = subprocess.run(testca.trusted_command(argv, runner.pki["bundle"], wine=True), cwd=world.cwd,
                                env=runner.environment(world, True), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    finally:
        world.server.stop()
    world.output = result.stdout.decode("utf-8", "replace")
    return result.returncode


@scenario(windows=True, posix=False)
def file_held_by_the_game_then_convergence(runner):
    world = standard_world(runner, "held")
    rc = run_while_held(world, os.path.join(world.install, "game.dat"))
    expect_incomplete_then_convergence(world, rc, "game.dat", lambda: None)  # released when the holder ended


@scenario(windows=True, posix=False)
def running_updater_in_the_package(runner):
    world = standard_world(runner, "self")
    world.release(update=dict(NEW_PACKAGE, **{"Updater.exe": b"a newer updater"}))
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["Failed to copy: " + world.path_text(world.install, "Updater.exe"),
                               "version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully.",
                               "Launched torvane.exe successfully."])
    expect(world.install_tree() == updated_install(), "the rest of the update is applied")


@scenario(windows=True, posix=False)
def read_only_and_hidden_files_are_replaced(runner):
    world = standard_world(runner, "attributes")
    for rel, flags in (("game.dat", "+r"), ("Data/levels.pak", "+h")):
        path = runner.path_text(os.path.join(world.install, *rel.split("/")))
        subprocess.run(["wine", "cmd", "/c", "attrib", flags, path], env=runner.wine_env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "Launched torvane.exe successfully."])
    expect(world.install_tree() == updated_install(), "both files replaced")


@scenario(windows=True, posix=False)
def install_path_longer_than_260_characters(runner):
    deep = "/".join(["a-rather-long-folder-name-%02d" % i for i in range(10)])
    world = standard_world(runner, "long-path", safelist=b"Data/Save/\n", install_name=deep + "/Torvane")
    expect(len(world.path_text(world.install, "_update_temp", "Bin", "Plugins", "plugin.dll")) > 300, "long enough")
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully.",
                               "Launched torvane.exe successfully."])
    tree = world.install_tree()
    expect(tree.get("Bin/Plugins/plugin.dll") == b"new plugin" and "Data/old_only.pak" not in tree, "applied")
    # Such a path cannot start a process; the game is started by its short form.
    record = world.launch_record() or ""
    expect(record.startswith('cmdline="') and 'torvane.exe" --skip-updater\n' in record, "launched: %r" % record)


@scenario(windows=True)
def names_outside_the_basic_multilingual_plane(runner):
    world = standard_world(runner, "astral", safelist=b"Data/Save/\n")
    from harness import write_tree
    write_tree(world.install, {"Old/\U0001F3AE old.dat": b"outdated"})
    world.release(update=dict(NEW_PACKAGE, **{"Maps/\U0001F600 arena.map": b"smile"}))
    rc = world.run()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["Deleting old file: Old\\? old.dat", "Copied: *",
                               "version.txt updated (game=1.2.4, updater=1.0.0)"])
    tree = world.install_tree()
    expect(tree.get("Maps/\U0001F600 arena.map") == b"smile", "copied under its own name")
    expect("Old/\U0001F3AE old.dat" not in tree, "outdated one deleted")


# -- the progress window (Windows build only) --------------------------------------

def slow_update_world(runner, name, behaviour):
    world = standard_world(runner, name)
    world.server.set_behaviours({"/updates/update.zip": behaviour})
    world.server.start()
    return world, runner.start_program(world)


def ask_to_close(runner, answer_key):
    window = runner.wait_for_window("Updater - Updating...")
    runner.x("xdotool", "windowfocus", "--sync", window)
    runner.x("xdotool", "key", "--window", window, "alt+F4")
    question = runner.wait_for_window("Abort update", timeout=20)
    runner.x("xdotool", "windowfocus", "--sync", question)
    runner.x("xdotool", "key", "--window", question, answer_key)


def bar_share(shot):
    """The filled share of the 460-pixel progress bar in a screenshot: its
    longest row of the bar's blue below the caption, which is blue too."""
    width, height = map(int, subprocess.run(["identify", "-format", "%w %h", shot], stdout=subprocess.PIPE,
                                            check=True).stdout.split())
    rgb = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, check=True).stdout
    rows = (rgb[y * width * 3:(y + 1) * width * 3] for y in range(height // 3, height))
    return max(sum(1 for x in range(width) if row[3 * x] < 120 and row[3 * x + 2] > 200) for row in rows) / 460


@scenario(windows=True, posix=False)
def window_screenshot_and_close_answered_no(runner):
    # The package (about 600 bytes) arrives at 60 bytes a second.
    world, process = slow_update_world(runner, "window-no", {"rate": 60})
    try:
        window = runner.wait_for_window("Updater - Updating...")
        deadline = time.monotonic() + 20
        while not any(r["path"] == "/updates/update.zip" for r in world.server.requests()):
            expect(time.monotonic() < deadline, "the package download never started")
            time.sleep(0.2)
        time.sleep(4)
        os.makedirs(runner.artifacts, exist_ok=True)
        shot = os.path.join(runner.artifacts, "progress-window.png")
        runner.x("import", "-window", window, shot)
        expect(os.path.getsize(shot) > 0, "screenshot taken")
        expect(bar_share(shot) > 0.16, "mid-download the bar is past the stage's 15 %%: %.2f" % bar_share(shot))
        ask_to_close(runner, "n")
        rc = process.wait(120)
    finally:
        if process.poll() is None:
            process.kill()
        world.server.stop()
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully.",
                               "Launched torvane.exe successfully.", "=== Updater end (loader) ==="])
    expect_launched(world)


@scenario(windows=True, posix=False)
def window_close_answered_yes_aborts(runner):
    world, process = slow_update_world(runner, "window-yes", {"stall_body_after": 10, "stall_seconds": 60})
    try:
        ask_to_close(runner, "Return")
        rc = process.wait(60)
    finally:
        if process.poll() is None:
            process.kill()
        world.server.stop()
    messages = world.log_messages()
    expect(rc == 0, "exit code %r after the abort" % rc)
    expect(messages[-1] == "=== Updater end (loader) ===", "the end marker closes the log: %r" % messages[-3:])
    expect(world.launch_record() is None, "the game is not started after an abort")
    expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")


def main(argv):
    args = parse_arguments(argv, __doc__)
    if os.geteuid() != 0:
        print("the scenarios need root for their private mount namespace")
        return 1
    runner = Runner(args.program, args.stub, wine=args.wine, keep=args.keep)
    runner.artifacts = args.artifacts
    chosen = chosen_scenarios([s for s in SCENARIOS if (s.windows if args.wine else s.posix)], args.only)
    return run_scenarios(chosen, runner)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
