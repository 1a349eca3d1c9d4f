#!/usr/bin/env python3
"""End-to-end scenarios of the built updater, run natively (POSIX build) or
under Wine (--wine) against the local HTTPS update server: one table row per
scenario (starting trees, what the server does, the log lines, trees and game
launch expected; a row with a fix runs again after it and must then converge),
then the abort question of each front end, one updater per installation, the
updater in its own package, and a release made by the release tool.
  scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh
  options: --wine  --smoke (the rows marked for the sanitizer builds)  --only NAME[,NAME...]  --keep
           --two-servers PROGRAM (built for the port after the usual one, then the usual one;
                                  default <program's folder>/tests/Updater-mirrors[.exe])
"""

import ctypes
import fcntl
import hashlib
import os
import pty
import random
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import server  # noqa: E402
from harness import SERVER_PORT, Runner, World, parse_arguments, read_tree, run_all, write_tree  # noqa: E402

MB = 1024 * 1024
OLD_VERSION = b"game-version: 1.2.3\r\nupdater-version: 1.0.0\r\n"
NEW_VERSION = b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n"
SERVED_VERSION = b"game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n"
OLD_INSTALL = {
    "version.txt": OLD_VERSION, "game.dat": b"old game data", "Data/levels.pak": b"old levels",
    "Data/old_only.pak": b"dropped by the new release", "Data/Save/slot1.sav": b"player save",
    "Config/options.ini": b"player options", "Old/Deep/Er/gone.txt": b"dropped too", "EmptyBefore": None,
}
NEW_PACKAGE = {"game.dat": b"new game data", "Data/levels.pak": b"new levels", "Data/new_only.pak": b"added",
               "Bin/Plugins/plugin.dll": b"new plugin", "Docs/": None}
MAPS = {"maps/arena.map": b"arena v2", "maps/desert.map": b"desert v2", "readme.txt": b"maps readme"}
OLD_DATA = {"maps/arena.map": b"arena v1", "old.map": b"old map", "Replays/r1.rep": b"replay one",
            "replays/r2.rep": b"replay two"}
SAFELIST = b"# kept by the player\nData/Save/\nConfig\\options.ini\n*.log\n"

START, END = "=== Updater start (loader) ===", "=== Updater end (loader) ==="
NO_UPDATE, SKIP_MAPS = "No update needed.", "Skipping maps.zip (no game update was applied)."
APPLIED, MAPS_DONE = "version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully."
LAUNCHED = "Launched torvane.exe successfully."
DATA_CLEANED = ["Removing dir in Data: {d}/maps", "Removing file in Data: {d}/old.map"]
# Lines about single files and directories: a row's "files" lists all of them.
FILE_LINES = ("Deleting old file: ", "Removing empty dir: ", "Failed to copy: ", "Removing dir in Data: ",
              "Removing file in Data: ")


def tree(files, drop=()):
    """The files with every directory above them."""
    result = {k: v for k, v in files.items() if k not in drop}
    for rel in list(result):
        parts = rel.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            result.setdefault("/".join(parts[:i]), None)
    return result


def updated(extra=None, drop=()):
    """The installation after NEW_PACKAGE, without a safelist unless extra brings one."""
    files = {k: v for k, v in OLD_INSTALL.items() if v is not None}
    files.update({k: v for k, v in NEW_PACKAGE.items() if v is not None}, **{"version.txt": NEW_VERSION})
    return tree(dict(files, **(extra or {})), drop)


MAPPED = tree(dict(MAPS, **{k: v for k, v in OLD_DATA.items() if k.lower().startswith("replays/")}))


def big_files(count, size):
    return {"Data/big%d.pak" % i: bytes([i]) * size for i in range(count)}


def resize_disk(world):
    subprocess.run(["mount", "-o", "remount,size=%dm" % (world.disk_mb + 64), world.install], check=True)


# Differential updates: packs worth fetching in pieces; the installation has
# one pack damaged (same size), the music under another letter case, the old
# game.dat and the player's save (atime kept: never read). The damaged pack is
# too large to be held for the entry pool: it is decoded as it arrives, the
# small files on the pool's threads.
PACKS = {"Data/pack%d.pak" % i: random.Random(i).randbytes(300_000 if i == 1 else 200_000) for i in range(4)}
DELTA_PACKAGE = dict(PACKS, **{"safelist.txt": SAFELIST, "game.dat": b"new game data", "Data/Music.ogg": b"music v2",
                               "Docs/": None})
DELTA_INSTALL = dict(PACKS, **{"version.txt": OLD_VERSION, "safelist.txt": SAFELIST, "game.dat": b"old game data",
                               "Data/music.ogg": b"music v2", "Data/Save/slot1.sav": b"player save",
                               "Data/pack1.pak": PACKS["Data/pack1.pak"][:-1] + b"?"})
DELTA_AFTER = tree(dict(PACKS, **{"version.txt": NEW_VERSION, "safelist.txt": SAFELIST, "game.dat": b"new game data",
                                  "Data/Music.ogg": b"music v2", "Data/Save/slot1.sav": b"player save"}))
DELTA_FILES = ["Deleting old file: Data\\music.ogg"] + DATA_CLEANED
WHOLE = "; downloading the whole package"


def delta_row(name, log, checked=None, applied=APPLIED, **row):
    """A row of the differential update; `checked` publishes a checked release (see publish_checked)."""
    return dict(dict(name=name, install=DELTA_INSTALL, update=DELTA_PACKAGE, checked=checked, after=DELTA_AFTER,
                     data=MAPPED, log=log + [applied, MAPS_DONE, LAUNCHED], never_read="Data/Save/slot1.sav",
                     files=DELTA_FILES + (["Deleting old file: update.zip"] if WHOLE in log[0] else [])), **row)


DELTA_ROWS = [
    delta_row("delta_repairs_damaged_and_case_renamed_files", windows=True,
              log=["update.zip: 7 files, 4 up to date, 3 fetched in 4 requests (*", "Extracted file count: 7"]),
    delta_row("delta_current_installation_fetches_nothing", install=dict(DELTA_AFTER, **{"version.txt": OLD_VERSION}),
              log=["update.zip: 7 files, 7 up to date, 0 fetched in 2 requests (*"], files=DATA_CLEANED),
    delta_row("delta_unchanged_updater_records_its_version", with_updater=True,
              log=["update.zip: 8 files, 5 up to date, 3 fetched in 4 requests (*"],
              applied="version.txt updated (game=1.2.4, updater=9.9.9)",
              after=dict(DELTA_AFTER, **{"version.txt": SERVED_VERSION})),
    # A fallback after the comparison: the whole package leaves the up-to-date files, the updater's too, in place.
    delta_row("delta_fallback_leaves_up_to_date_files_in_place", with_updater=True, windows=True,
              behave={"/updates/update.zip": {"sequence": [{}, {}, {"range_shift": 1}, {}]}},
              log=["update.zip: Content-Range starts at byte *", "update.zip: 8 files, 5 up to date, 3 unpacked"],
              files=DELTA_FILES + ["Deleting old file: update.zip"],
              applied="version.txt updated (game=1.2.4, updater=9.9.9)",
              after=dict(DELTA_AFTER, **{"version.txt": SERVED_VERSION})),
    delta_row("delta_checked_release", checked={},
              log=["update.zip: 7 files, 4 up to date, 3 fetched in 4 requests (*"]),
    delta_row("delta_wrong_index_digest", checked=dict(index=b"other bytes"),
              log=["update.zip: the central directory does not match update-index-sha256" + WHOLE]),
    delta_row("delta_wrong_entry_digest", checked=dict(bad_digest="game.dat"),
              log=['update.zip: entry "game.dat": its content does not match its digest' + WHOLE]),
    delta_row("delta_wrong_digest_of_a_large_entry", checked=dict(bad_digest="Data/pack1.pak"),
              log=['update.zip: entry "Data/pack1.pak": its content does not match its digest' + WHOLE]),
    delta_row("delta_checked_release_without_index", checked=dict(index=None),
              log=["update.zip: version.txt names no update-index-sha256" + WHOLE]),
    # A 206 whose body never ends, for the directory's tail and for a changed entry's span.
    delta_row("delta_endless_tail", behave={"/updates/update.zip": {"sequence": [{}, {"overrun": -1}, {}]}},
              within=150, log=["update.zip: the answer goes on past byte *"],
              files=DELTA_FILES + ["Deleting old file: update.zip"]),
    delta_row("delta_endless_span", behave={"/updates/update.zip": {"sequence": [{}, {}, {"overrun": -1}, {}]}},
              within=150, log=["update.zip: the answer goes on past byte *"],
              files=DELTA_FILES + ["Deleting old file: update.zip"]),
]

DEEP = "My Games/Torvane \u00e9\u4e2d/" + "/".join("a-rather-long-folder-name-%02d" % i for i in range(10))
ROWS = [
    dict(name="no_local_version_and_no_server", windows=True, smoke=True, install={}, data_before={}, server=False,
         log=[START, "UpdaterWorker started", "Local version.txt not found or unreadable. Using defaults 0.0.0.",
              "Local game-version=0.0.0, updater-version=0.0.0",
              "Failed to download remote version.txt. Proceeding without update.", NO_UPDATE, SKIP_MAPS, LAUNCHED],
         files=[], after={}),
    dict(name="update_with_safelist", windows=True, smoke=True,
         install=dict(OLD_INSTALL, **{"safelist.txt": SAFELIST, "Sub/Updater.exe": b"not protected here",
                                      "notes.log": b"kept by *.log", "Kept/Empty": None}),
         update=dict(NEW_PACKAGE, **{"Kept/Empty/": None, "safelist.txt": SAFELIST}),
         log=["Extracted file count: 5", "safelist.txt found in install dir ? performing delete phase.",
              "Removing empty dir: Old\\Deep\\Er", "Removing empty dir: Old\\Deep", "Removing empty dir: Old",
              "Copied: *", "Removing empty dir (post-copy): {i}/Kept/Empty", "Removing empty dir (post-copy): {i}/Kept",
              APPLIED, MAPS_DONE, LAUNCHED],
         files=["Deleting old file: " + f for f in ("Data\\old_only.pak", "Old\\Deep\\Er\\gone.txt", "Sub\\Updater.exe",
                                                    "update.zip")]
         + ["Removing empty dir: " + d for d in ("Old\\Deep\\Er", "Old\\Deep", "Old", "EmptyBefore", "Sub")]
         + DATA_CLEANED,
         after=updated({"safelist.txt": SAFELIST, "notes.log": b"kept by *.log"},
                       drop=("Data/old_only.pak", "Old/Deep/Er/gone.txt")), data=MAPPED),
    dict(name="no_documents_folder", windows=True, documents=False,
         log=[APPLIED, "Could not resolve Documents data directory.", LAUNCHED], absent=["AF Data dir: "],
         files=[], after=updated({"__maps_pending": b""}), maps_pending=True),
    # A long install path (over 260 characters) with blanks and non-ASCII
    # characters, and names outside the Basic Multilingual Plane.
    dict(name="odd_names_and_long_install_path", windows=True, install_name=DEEP, launch="short form allowed",
         install=dict(OLD_INSTALL, **{"safelist.txt": b"Data/Save/\n", "Old/\U0001F3AE old.dat": b"outdated"}),
         update=dict(NEW_PACKAGE, **{"Maps/\U0001F600 arena.map": b"smile"}), log=[APPLIED, MAPS_DONE, LAUNCHED],
         files=["Deleting old file: " + f for f in ("Config\\options.ini", "Data\\old_only.pak", "Old\\? old.dat",
                                                    "Old\\Deep\\Er\\gone.txt", "safelist.txt", "update.zip")]
         + ["Removing empty dir: " + d for d in ("Config", "Old\\Deep\\Er", "Old\\Deep", "Old", "EmptyBefore")]
         + DATA_CLEANED,
         after=updated({"Maps/\U0001F600 arena.map": b"smile"},
                       drop=("Data/old_only.pak", "Old/Deep/Er/gone.txt", "Config/options.ini")), data=MAPPED),
    # On a small file system: the installation plus 10 MB free.
    dict(name="disk_full_while_extracting", disk_mb=10, update=dict(NEW_PACKAGE, **big_files(3, 8 * MB)),
         log=["ExtractZip to *", "Extract failed. Skipping update.", SKIP_MAPS, LAUNCHED], files=[], fix=resize_disk),
    # Under Wine only: a program holds a just-unpacked file for reading while
    # the update flushes it, or holds an old file for 300 ms while the moves
    # begin (see tests/stubs/file_holder_win32.cpp); the update completes.
    dict(name="unpacked_file_held_during_the_flush", windows=True, wine_only=True,
         hold=("_update_temp/game.dat", "delete", "_update_temp/game.dat", 0),
         update=dict(NEW_PACKAGE, **{"Data/random.pak": random.Random(5).randbytes(30 * MB)}),
         log=[APPLIED, MAPS_DONE, LAUNCHED], after=updated({"Data/random.pak": random.Random(5).randbytes(30 * MB)}), data=MAPPED),
    dict(name="old_file_held_while_it_is_replaced", windows=True, wine_only=True,
         hold=("game.dat", "keep", "Old/Deep/Er/gone.txt", 300),
         install=dict(OLD_INSTALL, **{"safelist.txt": b"Data/Save/\n"}),
         update=dict(NEW_PACKAGE, **{"safelist.txt": b"Data/Save/\n"}), log=[APPLIED, MAPS_DONE, LAUNCHED],
         files=["Deleting old file: " + f for f in ("Config\\options.ini", "Data\\old_only.pak",
                                                    "Old\\Deep\\Er\\gone.txt", "update.zip")]
         + ["Removing empty dir: " + d for d in ("Config", "Old\\Deep\\Er", "Old\\Deep", "Old", "EmptyBefore")]
         + DATA_CLEANED,
         after=updated({"safelist.txt": b"Data/Save/\n"},
                       drop=("Data/old_only.pak", "Old/Deep/Er/gone.txt", "Config/options.ini")), data=MAPPED),
    # Moved into place, the files are not written a second time.
    dict(name="package_that_fits_unpacked_is_applied", disk_mb=10, update=dict(NEW_PACKAGE, **big_files(1, 7 * MB)),
         log=["Extracted file count: 5", APPLIED, LAUNCHED], absent=["Failed to copy: "],
         after=updated(big_files(1, 7 * MB)), data=MAPPED),
]

# The program built for two servers: the first, on the port after the usual
# one, is closed or fails (first_server: its behaviours, None for closed); each
# file comes from the second, and the log names the server it came from.
FIRST, SECOND = "localhost:%d" % (SERVER_PORT + 1), "localhost:%d" % SERVER_PORT


def from_second(failure):
    """The packages start at the server that served version.txt: the first is not asked for them."""
    return ["version.txt from %s: %s*" % (FIRST, failure), "version.txt came from " + SECOND,
            "update.zip came from " + SECOND, APPLIED, "maps.zip came from " + SECOND, MAPS_DONE, LAUNCHED]


ROWS += [
    dict(name="first_of_two_servers_refuses_connections", windows=True, first_server=None,
         log=from_second("the connection was refused"), absent=["update.zip: the connection", "maps.zip: the connection"], files=DATA_CLEANED, after=updated(), data=MAPPED),
    dict(name="first_of_two_servers_answers_503", windows=True,
         first_server={"/updates/" + f: {"status": 503} for f in ("version.txt", "update.zip", "maps.zip")},
         first_asked={"/updates/version.txt"},
         log=from_second("status 503"), files=DATA_CLEANED, after=updated(), data=MAPPED),
    # A checked release: its directory from the first server, which then
    # answers 503, and the changed entries' spans from the second.
    delta_row("delta_ranges_from_two_servers", checked={},
              first_server={"/updates/update.zip": {"sequence": [{}, {"status": 503}]}},
              first_asked={"/updates/version.txt", "/updates/update.zip", "/updates/maps.zip"},
              log=["version.txt came from " + FIRST, "update.zip: status 503 at byte *",
                   "update.zip: 7 files, 4 up to date, 3 fetched in *"]),
]


def publish_checked(world, update, index=b"", bad_digest=None):
    """Serves update.zip with each file's content digest field (of other bytes for bad_digest) and a
    version.txt naming its size and SHA-256 and, unless index is None, update-index-sha256 (of its
    central directory and end records, `index` appended)."""
    path = os.path.join(world.updates, "update.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for rel, data in update.items():
            info = zipfile.ZipInfo(rel if data is not None else rel.rstrip("/") + "/")
            if data is not None:
                digest = hashlib.sha256(data + (b"?" if rel == bad_digest else b"")).digest()
                info.extra, info.compress_type = struct.pack("<HH", 0x4853, 32) + digest, zipfile.ZIP_DEFLATED
            archive.writestr(info, data or b"")
    package = open(path, "rb").read()
    lines = [SERVED_VERSION, b"update-sha256: %s\r\n" % hashlib.sha256(package).hexdigest().encode(),
             b"update-size: %d\r\n" % len(package)]
    if index is not None:
        directory = struct.unpack("<I", package[-6:-2])[0]
        lines.append(b"update-index-sha256: %s\r\n" % hashlib.sha256(package[directory:] + index).hexdigest().encode())
    write_tree(world.updates, {"version.txt": b"".join(lines)})


def new_world(runner, name, install=OLD_INSTALL, data=OLD_DATA, update=NEW_PACKAGE, install_name="install"):
    """A world with the starting trees and a release of SERVED_VERSION on the server."""
    world = World(runner, name, install_name)
    write_tree(world.install, install)
    write_tree(world.data, data)
    world.release(SERVED_VERSION, update, MAPS)
    return world


def expand(world, line):
    """{i} and {d} stand for the install and data directories as logged."""
    for key, base in (("{i}", world.path_text(world.install)), ("{d}", world.data_text())):
        if key in line:
            head, tail = line.split(key, 1)
            return head + base + tail.replace("/", "\\" if world.runner.wine else "/")
    return line


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def expect_in_order(messages, expected):
    """Each expected line (or prefix ending in '*') appears, in this order."""
    rest = iter(messages)
    for want in expected:
        expect(any(got.startswith(want[:-1]) if want.endswith("*") else got == want for got in rest),
               "log line %r missing or out of order in:\n  %s" % (want, "\n  ".join(messages)))


def expect_launched(world, exact=True):
    record, install = world.launch_record() or "", world.path_text(world.install)
    if world.runner.wine:
        want = 'cmdline="%s\\torvane.exe" --skip-updater\ncwd=%s\n' % (install, install)
    else:
        want = "cwd=%s\narg=--skip-updater\n" % install
    # A path too long to start a process from is given in its short form.
    expect(record == want or not exact and "--skip-updater\n" in record, "launch record: %r" % record)


def expect_run(world, rc, row, before=None, data_before=None):
    messages = world.log_messages()
    expect(rc == 0, "exit code %r (output: %s)" % (rc, world.output))
    expect(messages[:1] == [START] and END in messages, "start and end markers: %r" % messages)
    expect_in_order(messages, [expand(world, line) for line in row["log"]])
    if row.get("files") is not None:
        got = sorted(m for m in messages if m.startswith(FILE_LINES))
        want = sorted(expand(world, line) for line in row["files"])
        expect(got == want, "file lines:\n got  %r\n want %r" % (got, want))
    for prefix in row.get("absent", []):
        expect(not any(m.startswith(prefix) for m in messages), "%r logged" % prefix)
    for what, got, want in (("installation", world.install_tree(), row.get("after", before)),
                            ("data directory", read_tree(world.data), row.get("data", data_before))):
        if want is not None:
            expect(got == want, "%s:\n got  %r\n want %r" % (what, sorted(got), sorted(want)))
    # A failed maps refresh leaves its marker for the next start.
    expect(world.leftovers() == (["__maps_pending"] if row.get("maps_pending") else []),
           "leftovers: %r" % world.leftovers())
    expect_launched(world, exact="launch" not in row)


def start_holder(world, held, share, until, then_ms):
    """file_holder.exe, beside the game's stand-in, started once the updater has
    begun its log: it must join the updater's wineserver. Returns a function that
    gives the holder's exit code."""
    holder = os.path.join(os.path.dirname(world.runner.stub), "file_holder.exe")
    argv = ["wine", holder, world.path_text(world.install, held), share, world.path_text(world.install, until),
            str(then_ms)]
    started = []
    world.behave({"/updates/update.zip": {"delay_headers": 1}})  # time for the holder's start

    def start():
        wait_until(lambda: os.path.exists(world.log), "the updater's start")
        started.append(subprocess.Popen(argv, env=world.runner.wine_env(home=world.home), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    thread = threading.Thread(target=start)
    thread.start()
    return lambda: thread.join() or started[0].wait(60)


def run_row(runner, row):
    update = row.get("update", NEW_PACKAGE)
    if row.get("with_updater"):  # the same updater as the installed one
        update = dict(update, **{runner.program_name: open(runner.program, "rb").read()})
    world = new_world(runner, row["name"], row.get("install", OLD_INSTALL), row.get("data_before", OLD_DATA), update,
                      row.get("install_name", "install"))
    if row.get("checked") is not None:
        publish_checked(world, update, **row["checked"])
    if row.get("disk_mb"):
        used = sum(os.path.getsize(os.path.join(here, f)) for here, _, files in os.walk(world.install) for f in files)
        world.disk_mb = used // MB + 1 + row["disk_mb"]
        os.rename(world.install, world.install + ".kept")
        os.mkdir(world.install)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % world.disk_mb, "e2e", world.install], check=True)
        subprocess.run(["cp", "-a", world.install + ".kept/.", world.install], check=True)
        shutil.rmtree(world.install + ".kept")
    before, data_before = world.install_tree(), read_tree(world.data)
    unread = os.path.join(world.install, row["never_read"]) if "never_read" in row else None
    if unread:  # an access time before the last change: reading the file would move it
        os.utime(unread, (os.stat(unread).st_mtime - 1000, os.stat(unread).st_mtime))
        accessed = os.stat(unread).st_atime
    world.behave(row.get("behave", {}))
    holder = start_holder(world, *row["hold"]) if "hold" in row else None
    if "first_server" in row:
        expect(runner.two_servers, "no program built for two servers (--two-servers)")
        shutil.copy2(runner.two_servers, os.path.join(world.install, world.program_name))
    first = world.start_first_server(row["first_server"]) if row.get("first_server") is not None else None
    started = time.monotonic()
    try:
        rc = world.run(row.get("server", True), row.get("documents", True))
    finally:
        server.stop(first)
    took = time.monotonic() - started
    expect(set(world.requests(SERVER_PORT + 1)) == row.get("first_asked", set()),
           "asked of the first server: %r" % world.requests(SERVER_PORT + 1))
    expect(took <= row.get("within", 180), "the game started after %.0f s" % took)
    expect(not holder or holder() == 0, "the holder never held its file")
    expect(not unread or os.stat(unread).st_atime == accessed, "%s was read" % unread)
    expect_run(world, rc, row, before, data_before)
    if "fix" in row:
        row["fix"](world)
        world.forget_log()
        extra = {k: v for k, v in update.items() if v is not None and k not in NEW_PACKAGE}
        expect_run(world, world.run(), dict(log=[APPLIED, MAPS_DONE, LAUNCHED], after=updated(extra), data=MAPPED))


STALLED = {"stall_body_after": 10, "stall_seconds": 60}  # the package never arrives


def slow_world(runner, name, behaviour):
    world = new_world(runner, name)
    world.behave({"/updates/update.zip": behaviour})
    world.start_server()
    return world


# -- one updater per installation ------------------------------------------------------

ANOTHER = "Another updater is already running for this installation; exiting."


def wait_until(condition, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        expect(time.monotonic() < deadline, "timed out waiting for " + what)
        time.sleep(0.001)


def updater_process(world, started):
    """The running updater's pid: natively the started process itself (unshare
    and sh exec into it); under Wine the process that Wine names after it."""
    if not world.runner.wine:
        return started.pid
    program = os.path.join(world.install, world.program_name).encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")[0] == program:
                return int(pid)
        except OSError:
            pass
    raise AssertionError("the running updater was not found")


def second_updater_for_the_same_installation(runner):
    """Freezes an update while its package downloads, with the log due to be
    emptied, runs a second copy to its end, then lets the first one finish."""
    world = slow_world(runner, "second", {"delay_headers": 3})
    first = runner.start_program(world)
    try:
        wait_until(lambda: "/updates/update.zip" in world.requests(), "the package download")
        frozen = updater_process(world, first)
        os.kill(frozen, signal.SIGSTOP)
        write_tree(world.install, {"updater.log.ts": bytes(8)})
        started = time.monotonic()
        # Under Wine the second copy joins the running wineserver, which stopping it would end.
        argv = ["wine", os.path.join(world.install, world.program_name)] if runner.wine else runner.command(world)
        second = subprocess.run(argv, cwd=world.cwd, env=runner.environment(world, True),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=60)
        took = time.monotonic() - started
        os.kill(frozen, signal.SIGCONT)
        rc = first.wait(180)
    finally:
        if first.poll() is None:
            first.kill()
        server.stop(world.server)
    messages = world.log_messages()
    expect(second.returncode == 0 and took < 10, "second copy: exit code %r after %.1f s" % (second.returncode, took))
    expect(rc == 0 and not world.leftovers(), "exit code %r, leftovers %r" % (rc, world.leftovers()))
    for line in (ANOTHER, START, LAUNCHED):
        expect(messages.count(line) == 1, "%r once in:\n  %s" % (line, "\n  ".join(messages)))
    expect_in_order(messages, ["Remote game-version=*", ANOTHER, "ExtractZip to *", APPLIED, MAPS_DONE, LAUNCHED])
    expect(world.install_tree() == updated(), "the first copy's update is complete")
    expect(read_tree(world.data) == MAPPED, "maps refreshed once")
    expect_launched(world)


# -- the updater in its own package -----------------------------------------------------

def running_updater_in_the_package(runner):
    """Replaced under a name of the publisher's choosing, then neither deleted
    nor replaced by an update without it."""
    safelist = {"safelist.txt": b"Data/Save/\n"}
    name = "Launcher.exe" if runner.wine else "Launcher"
    new_updater = open(runner.program, "rb").read() + b"\0a newer updater"  # still runs: the tail is never loaded
    # The new updater is not marked executable in the package.
    world = new_world(runner, "self", dict(OLD_INSTALL, **safelist),
                      update=dict(NEW_PACKAGE, **safelist, **{name: new_updater}))
    updater = os.path.join(world.install, name)
    os.rename(os.path.join(world.install, runner.program_name), updater)
    world.program_name = name
    expect(world.run() == 0, "exit code")
    expect_in_order(world.log_messages(), ["Copied: " + world.path_text(updater),
                                           "version.txt updated (game=1.2.4, updater=9.9.9)", MAPS_DONE, LAUNCHED])
    expect(open(updater, "rb").read() == new_updater, "the new updater is in place")
    # Windows cannot replace a running program: it was renamed aside first.
    set_aside = os.path.join(world.install, "Updater.exe.old" if runner.wine else "Updater.old")
    expect(os.path.exists(set_aside) == runner.wine, "set-aside updater after the swap")

    world.release(b"game-version: 1.2.5\r\nupdater-version: 9.9.10\r\n", dict(NEW_PACKAGE, **safelist))
    world.forget_log()
    expect(world.run() == 0, "exit code")
    messages = world.log_messages()
    expect_in_order(messages, (["Removed the previous updater Updater.exe.old."] if runner.wine else []) +
                    ["safelist.txt found in install dir *", "version.txt updated (game=1.2.5, updater=9.9.9)"])
    expect(not any(m.startswith("Deleting old file: " + name) for m in messages), "the updater is not deleted")
    expect(open(updater, "rb").read() == new_updater, "the updater stays")
    expect(not os.path.exists(set_aside), "the set-aside updater is removed")


# -- the front ends' abort question ---------------------------------------------------

def expect_answer(world, rc, aborted):
    """Yes: the program ends at once, the game not started; no: the update goes on."""
    expect(rc == 0, "exit code %r" % rc)
    messages = world.log_messages()
    if aborted:
        expect(messages[-1:] == [END], "the end marker closes the log: %r" % messages[-3:])
        expect(world.launch_record() is None, "the game is not started after an abort")
        # What the download kept, and what it had unpacked, the next start resumes.
        left = {k: v for k, v in world.install_tree().items() if not k.startswith(("update.zip.", "_update_temp"))}
        expect(left == tree(OLD_INSTALL), "the installation stays as it was: %r" % sorted(left))
    else:
        expect_in_order(messages, [APPLIED, MAPS_DONE, LAUNCHED, END])
        expect_launched(world)


def on_terminal(runner, world, steps):
    """The updater on a pseudo-terminal (wide enough for the longest status
    beside the bar), typing each step's keys once its text is shown. Returns
    the screen, the exit status and when the last keys were typed."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(world.cwd)
        os.execvpe("unshare", runner.command(world), dict(runner.environment(world, True), TERM="xterm"))
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 132, 0, 0))
    screen, deadline, ended, answered = b"", time.monotonic() + 120, (0, 0), None
    try:
        while time.monotonic() < deadline:
            chunk = os.read(terminal, 4096) if select.select([terminal], [], [], 0.1)[0] else b""
            screen += chunk
            if steps and steps[0][0] in screen:
                os.write(terminal, steps.pop(0)[1])
                answered = time.monotonic()
            ended = ended if ended[0] else os.waitpid(pid, os.WNOHANG)
            if ended[0] and not chunk:
                break
    except OSError:  # the program ended and closed the terminal
        ended = ended if ended[0] else os.waitpid(pid, 0)
    expect(not steps and ended[0], "no question, or no end, on the terminal:\n%s" % screen.decode())
    return screen, ended[1], answered


def terminal_ctrl_c(runner, abort):
    """Ctrl-C while the package downloads, then the answer; answered no, the
    whole run is drawn."""
    world = slow_world(runner, "tty", STALLED if abort else {"delay_headers": 4})
    try:
        screen, status, answered = on_terminal(runner, world, [
            (b"Update available. Downloading update package...", b"\x03"),
            (b"Update is still running. Are you sure you want to abort?", b"y\n" if abort else b"n\n")])
    finally:
        server.stop(world.server)
    expect(not abort or time.monotonic() - answered < 15, "the abort ends the program at once")
    expect_answer(world, os.waitstatus_to_exitcode(status), abort)
    for drawn in () if abort else (b"Checking local versions...", b"Launching game... [" + b"#" * 30 + b"] 100%"):
        expect(drawn in screen, "%r drawn on the terminal:\n%s" % (drawn, screen.decode()))


def bar_share(shot):
    """The filled share of the 460-pixel progress bar in a screenshot: its
    longest row of the bar's blue below the caption, which is blue too."""
    width, height = map(int, subprocess.run(["identify", "-format", "%w %h", shot], stdout=subprocess.PIPE,
                                            check=True).stdout.split())
    rgb = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, check=True).stdout
    rows = (rgb[y * width * 3:(y + 1) * width * 3] for y in range(height // 3, height))
    return max(sum(1 for x in range(width) if row[3 * x] < 120 and row[3 * x + 2] > 200) for row in rows) / 460


def ask_to_close(runner, window):
    """alt+F4 until the abort question shows: on a loaded machine a key sent
    before the window has taken the focus can be lost."""
    for _ in range(4):
        runner.x("xdotool", "windowfocus", "--sync", window)
        runner.x("xdotool", "key", "--window", window, "alt+F4")
        try:
            return runner.wait_for_window("Abort update", timeout=5)
        except AssertionError:
            pass
    raise AssertionError("alt+F4 four times, and no window titled 'Abort update' appeared")


def window_close(runner, abort):
    """The close button while the package downloads, then the answer; answered
    no, the bar is checked mid-download (a package of about 600 bytes at 60 a second)."""
    world = slow_world(runner, "window", STALLED if abort else {"rate": 60})
    process = runner.start_program(world)
    try:
        window = runner.wait_for_window("Updater - Updating...")
        if not abort:
            wait_until(lambda: "/updates/update.zip" in world.requests(), "the package download", 20)
            time.sleep(4)
            os.makedirs(runner.artifacts, exist_ok=True)
            shot = os.path.join(runner.artifacts, "progress-window.png")
            runner.x("import", "-window", window, shot)
            expect(bar_share(shot) > 0.16, "mid-download the bar is past the stage's 15 %%: %.2f" % bar_share(shot))
        question = ask_to_close(runner, window)
        runner.x("xdotool", "windowfocus", "--sync", question)
        runner.x("xdotool", "key", "--window", question, "Return" if abort else "n")
        expect_answer(world, process.wait(120), abort)
    finally:
        process.kill()
        server.stop(world.server)


# -- a release made by the release tool -------------------------------------------------
# The tool is the one beside --program, else $UPDATER_RELEASE_TOOL, else
# build/native/updater-release (the Windows build has none of its own). Releases
# are signed with the test key in keys/, which builds without a release key
# ignore and builds configured with -DUPDATER_PUBLIC_KEY=<keys/*.pub.pem> require.

SIGN_KEY = os.path.join(HERE, "keys", "release_test_key.enc.pem")  # encrypted, as README recommends
PASSPHRASE = ["--key-passphrase-file", os.path.join(HERE, "keys", "release_test_key.passphrase")]
RELEASED = {"game.dat": b"game data v2", "safelist.txt": b"Saves\\*\n", "Data/levels.pak": os.urandom(300000),
            "Data/\u00e9t\u00e9.txt": b"summer", "Bin/Plugins/plugin.dll": b"plugin v2"}


def release_tool(program):
    candidates = [os.path.join(os.path.dirname(program), "updater-release"), os.environ.get("UPDATER_RELEASE_TOOL", ""),
                  os.path.join(HERE, "..", "..", "build", "native", "updater-release")]
    return next((os.path.abspath(c) for c in candidates if c and os.access(c, os.X_OK)), None)


def run_tool(runner, game, maps, out, key_options=PASSPHRASE, file_limit=None):
    """The tool without a terminal to ask on; a file size limit stands for a full disk."""
    def limit():
        if file_limit:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
    argv = [runner.tool, "--game-dir", game, "--maps-dir", maps, "--game-version", "2.0.0", "--updater-version",
            "1.5.0", "--out", out, "--sign-key", SIGN_KEY] + key_options
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True, preexec_fn=limit)
    return result.returncode, result.stderr.decode("utf-8", "replace")


def release_round_trip(runner):
    """An old installation updated to a release that the tool made."""
    world = World(runner, "round-trip")
    # levels.pak is current: the other files are fetched in pieces, checked against the tool's digests.
    write_tree(world.install, {"version.txt": b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n",
                               "Data/levels.pak": RELEASED["Data/levels.pak"],
                               "safelist.txt": b"Saves\\*\n", "game.dat": b"game data v1",
                               "Data/dropped.pak": b"not in the new release", "Saves/slot1.sav": b"player save"})
    write_tree(os.path.join(world.root, "game"), RELEASED)
    write_tree(os.path.join(world.root, "maps"), MAPS)
    rc, errors = run_tool(runner, os.path.join(world.root, "game"), os.path.join(world.root, "maps"),
                          os.path.dirname(world.updates))
    expect(rc == 0, "the tool made the release: %s" % errors)
    want = tree(dict(RELEASED, **{"Saves/slot1.sav": b"player save",
                                  "version.txt": b"game-version: 2.0.0\r\nupdater-version: 1.0.0\r\n"}))
    expect_run(world, world.run(), dict(log=["update.zip: 5 files, 2 up to date, 3 fetched in 4 requests (*",
                                             "Copied: *", LAUNCHED], after=want, data=tree(dict(MAPS, Replays=None))))


# A refused or failed run: (what, game directory, key options, file size limit, stderr holds).
TOOL_FAILURES = [
    ("an empty game directory", {}, PASSPHRASE, None, "update.zip: the directory holds no files"),
    ("the disk fills while packing", {"big.pak": os.urandom(3 * MB)}, PASSPHRASE, MB, "File too large"),
    ("an encrypted key, neither terminal nor passphrase file", RELEASED, [], None,
     "is encrypted and there is no terminal to ask its passphrase on: give it with --key-passphrase-file FILE"),
]


def release_tool_failures(runner):
    """The refusals themselves are a unit table; here that a run that fails
    leaves the folder's old release as it was, and the exit codes."""
    old = {"updates/version.txt": b"game-version: 1.0.0\r\n", "updates/update.zip": b"old", "updates/maps.zip": b"old"}
    for what, game, key_options, file_limit, message in TOOL_FAILURES:
        top = tempfile.mkdtemp(dir=runner.scratch)
        write_tree(os.path.join(top, "maps"), MAPS)
        write_tree(os.path.join(top, "game"), game)
        os.makedirs(os.path.join(top, "game"), exist_ok=True)
        write_tree(os.path.join(top, "out"), old)
        rc, errors = run_tool(runner, *(os.path.join(top, n) for n in ("game", "maps", "out")), key_options, file_limit)
        expect(rc == 1 and message in errors, "%s: exit %d, %s" % (what, rc, errors))
        expect(read_tree(os.path.join(top, "out")) == tree(old), "%s: the old release stays" % what)
    usage = subprocess.run([runner.tool, "--game-dir", "x"], stderr=subprocess.PIPE)
    expect(usage.returncode == 2 and b"usage:" in usage.stderr, "a wrong command line: %r" % usage.stderr)


def options(parser):
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--two-servers")


def main(argv):
    args = parse_arguments(argv, __doc__, options)
    rows = [r for r in ROWS + DELTA_ROWS if (r.get("windows") or not args.wine) and (r.get("smoke") or not args.smoke)
            and (args.wine or not r.get("wine_only"))]
    checks = [(r["name"], lambda runner, r=r: run_row(runner, r)) for r in rows]
    abort = window_close if args.wine else terminal_ctrl_c
    checks += [("%s_answered_%s" % (abort.__name__, answer), lambda runner, yes=answer == "yes": abort(runner, yes))
               for answer in ("no", "yes")]
    front_end = () if args.smoke else (second_updater_for_the_same_installation, running_updater_in_the_package)
    tool = release_tool(args.program)
    front_end += ((release_round_trip,) + (() if args.wine else (release_tool_failures,))) if tool else ()
    checks = [c for c in checks + [(f.__name__, f) for f in front_end] if not args.only or c[0] in args.only.split(",")]
    # The small file systems of the disk-full rows vanish with this mount namespace.
    if ctypes.CDLL(None, use_errno=True).unshare(0x00020000) != 0:  # CLONE_NEWNS; needs root
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS): the scenarios need root")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    runner = Runner(args.program, args.stub, wine=args.wine, keep=args.keep)
    runner.artifacts, runner.tool = args.artifacts, tool
    beside = os.path.join(os.path.dirname(args.program), "tests", "Updater-mirrors" + (".exe" if args.wine else ""))
    runner.two_servers = args.two_servers or (beside if os.path.exists(beside) else None)
    return run_all(checks, runner)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
