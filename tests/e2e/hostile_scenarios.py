#!/usr/bin/env python3
"""End-to-end scenarios against a hostile or broken update server: a 100 MB
version.txt, one with NUL bytes and invalid UTF-8, a server that stalls,
redirects to other hosts, a package whose entries lie about their sizes, and a
package larger than the disk that holds the installation.

  hostile_scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh
  hostile_scenarios.py --program build/windows/Updater.exe --stub build/windows/tests/torvane_stub.exe --wine
  options: --only NAME[,NAME...]  --keep (leave the scratch folders)

Every scenario checks that nothing outside the install and data directories
changed, that the game was started and that the log says what happened; then
it makes the server good again and checks that the next run converges to the
new release. Figures (time to game launch, peak memory) are printed as
"FIGURE ..." lines. Ends with the line "N passed, N failed".

The script moves itself into a private mount namespace first, so that the
small file systems it mounts vanish with it whatever happens.
"""

import ctypes
import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import traceback
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testca  # noqa: E402
from harness import Runner, chosen_scenarios, parse_arguments, read_tree, write_tree  # noqa: E402
from scenarios import (NEW_PACKAGE, NEW_VERSION_BYTES, OLD_DATA, OLD_INSTALL, expect, expect_common_end,  # noqa: E402
                       expect_in_order, expect_launched, expect_maps_refreshed, expect_update_skipped,
                       standard_world, updated_install, version_bytes, with_directories)

MB = 1024 * 1024
OTHER_HOST = "otherhost.test"      # has a certificate of its own from the test CA
MISMATCHED_HOST = "mismatch.test"  # served with OTHER_HOST's certificate
RECEIVE_TIMEOUT = 30               # seconds of silence after which a download is given up
VERSION_DEADLINE = 30              # seconds within which every attempt at version.txt ends
SKIPPED = "Skipping maps.zip (no game update was applied)."
LAUNCHED = "Launched torvane.exe successfully."

SCENARIOS = []


def scenario(windows=False, known_fault=None):
    """known_fault: a fault of the program that the scenario shows; until it is
    fixed the scenario's failure is reported but not counted, and once it
    passes it fails as a reminder to drop the mark."""
    def register(fn):
        fn.windows = windows
        fn.known_fault = known_fault
        SCENARIOS.append(fn)
        return fn
    return register


def figure(text):
    print("FIGURE " + text, flush=True)


# -- the runner: hosts file, peak memory, a private mount namespace ----------------

class HostileRunner(Runner):
    """Runs the program with extra host names mapped to 127.0.0.1 and its peak
    resident memory measured by /usr/bin/time."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.pki["other_cert"], self.pki["other_key"] = testca.make_server_cert(
            os.path.join(self.scratch, "pki"), "otherhost", (self.pki["ca"], self.pki["ca"][:-4] + ".key"), OTHER_HOST)
        # Outside the scratch root, whose content the scenarios compare.
        self.measurements = os.path.join(os.path.dirname(self.scratch),
                                         os.path.basename(self.scratch) + "-measurements")
        os.makedirs(self.measurements, exist_ok=True)
        self.hosts = testca.make_hosts_file(os.path.join(self.measurements, "hosts"), [OTHER_HOST, MISMATCHED_HOST])
        self.rss_file = os.path.join(self.measurements, "peak-rss-kb")
        self.timer = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
        # A sanitizer build's memory says nothing about the program's own.
        with open(self.program, "rb") as f:
            self.sanitized = any(marker in f.read() for marker in (b"__asan_init", b"__tsan_init"))

    def close(self):
        super().close()
        shutil.rmtree(self.measurements, ignore_errors=True)

    def command(self, world):
        argv = super().command(world)
        # Runs inside the namespace that trusted_command makes, after the CA bundle is in place.
        argv = ["sh", "-c", 'mount --bind "$0" %s && exec "$@"' % testca.SYSTEM_HOSTS, self.hosts, *argv]
        if self.timer:
            argv = [self.timer, "-f", "%M", "-o", self.rss_file, *argv]
        return argv

    def peak_rss_mb(self):
        if self.sanitized:
            return None
        try:
            with open(self.rss_file) as f:
                return int(f.read().split()[-1]) / 1024.0
        except (OSError, ValueError, IndexError):
            return None


def enter_private_mount_namespace():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS)")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


def mount_small_disk(directory, size_mb):
    """Puts a tmpfs of size_mb under directory, keeping what it held."""
    keep = directory + ".before-mount"
    shutil.copytree(directory, keep, symlinks=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % size_mb, "hostile-tmpfs", directory], check=True)
    subprocess.run(["cp", "-a", keep + "/.", directory], check=True)
    shutil.rmtree(keep)


def resize_small_disk(directory, size_mb):
    subprocess.run(["mount", "-o", "remount,size=%dm" % size_mb, directory], check=True)


def unmount(directory):
    subprocess.run(["umount", directory], check=False)


# -- a second HTTPS server, for redirect targets -----------------------------------

class SideServer:
    """server.py on a free port with a chosen certificate (or plain HTTP)."""

    def __init__(self, root, cert=None, key=None):
        self.root = root
        self.work = root + "-server"
        os.makedirs(os.path.join(root, "pkg"), exist_ok=True)
        os.makedirs(self.work, exist_ok=True)
        self.log = os.path.join(self.work, "requests.jsonl")
        ready = os.path.join(self.work, "ready.json")
        tls = ["--cert", cert, "--key", key] if cert else ["--plain"]
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, "server.py"), "--root", root, *tls,
                                         "--port", "0", "--log", self.log, "--ready", ready],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise RuntimeError("the redirect target server did not start")
            time.sleep(0.05)
        with open(ready) as f:
            self.port = json.load(f)["port"]

    def requested_paths(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [e["path"] for e in map(json.loads, f) if e.get("event") == "request"]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()


# -- checks -------------------------------------------------------------------------

def snapshot(root, skip):
    """{relative path: digest} of everything below root except the paths in skip."""
    found = {}
    for here, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(here, d) not in skip]
        for name in dirs + files:
            path = os.path.join(here, name)
            if path in skip:
                continue
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                found[rel] = "link:" + os.readlink(path)
            elif os.path.isdir(path):
                found[rel] = "dir"
            else:
                with open(path, "rb") as f:
                    found[rel] = hashlib.sha256(f.read()).hexdigest()
    return found


class Surroundings:
    """What lies around the install and data directories: a sibling directory
    of the installation and the whole scratch root, which must not change."""

    def __init__(self, world):
        self.world = world
        write_tree(os.path.join(world.root, "sibling"), {"keep.txt": b"next to the game", "sub/deeper.bin": b"\0\1"})
        runner = world.runner
        self.skip = {world.install, world.data, world.server.work, runner.prefix or "", world.root + "-side",
                     world.root + "-side-server", world.root + "-plain", world.root + "-plain-server"}
        if runner.wine:
            # Wine's own desktop integration writes menus and MIME data below HOME.
            os.makedirs(os.path.join(world.home, ".config"), exist_ok=True)
            self.skip |= {os.path.join(world.home, ".config", "menus"), os.path.join(world.home, ".local")}
        self.before = snapshot(runner.scratch, self.skip)

    def expect_unchanged(self):
        after = snapshot(self.world.runner.scratch, self.skip)
        changed = sorted(k for k in set(self.before) | set(after) if self.before.get(k) != after.get(k))
        expect(not changed, "changed outside the install and data directories: %r" % changed)


def run_measured(world):
    """Runs the program; returns (exit code, seconds from start to the game's launch record, peak RSS in MB)."""
    runner = world.runner
    record = os.path.join(world.install, "launched.txt")
    if os.path.exists(record):
        os.remove(record)
    if os.path.exists(runner.rss_file):
        os.remove(runner.rss_file)
    world.server.start()  # may wait while another run holds the port: not part of the figure
    try:
        started = time.time()
        rc = runner.run_program(world, timeout=600)
    finally:
        world.server.stop()
    launched = os.stat(record).st_mtime - started if os.path.exists(record) else None
    return rc, launched, runner.peak_rss_mb()


def new_log_lines(world, before):
    return world.log_messages()[before:]


def expect_converges(world, surroundings, applied_already=False, package_extra=None):
    """The server is good again: the next run installs the release completely
    (or, when the hostile run applied it already, finds nothing to do)."""
    world.server.set_behaviours({})
    package = dict(NEW_PACKAGE, **(package_extra or {}))
    world.release(version=b"game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n", update=package)
    start = len(world.log_messages())
    rc, _, _ = run_measured(world)
    messages = new_log_lines(world, start)
    expect(rc == 0, "exit code %r on the converging run" % rc)
    route = (["No update needed.", SKIPPED] if applied_already else
             ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully."])
    expect_in_order(messages, ["Remote game-version=1.2.4, updater-version=9.9.9", *route, LAUNCHED])
    tree = world.install_tree()
    want = updated_install(extra=package_extra)
    expect(tree == want, "converged installation differs:\n got  %r\n want %r" % (sorted(tree), sorted(want)))
    expect(version_bytes(world) == NEW_VERSION_BYTES, "version.txt: %r" % version_bytes(world)[:200])
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())
    expect_maps_refreshed(world)
    expect_launched(world)
    surroundings.expect_unchanged()


def hostile_world(runner, name):
    world = standard_world(runner, name)
    return world, Surroundings(world)


def write_release_file(world, name, data):
    with open(os.path.join(world.server.updates, name), "wb") as out:
        out.write(data)


# -- version.txt: huge, NUL bytes, invalid UTF-8 ------------------------------------

def expect_applied(world, rc, remote_line):
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, [remote_line, "version.txt updated (game=1.2.4, updater=1.0.0)",
                               "maps.zip extracted successfully.", LAUNCHED])
    expect(world.install_tree() == updated_install(), "installation: %r" % sorted(world.install_tree()))
    expect(version_bytes(world) == NEW_VERSION_BYTES, "version.txt: %r" % version_bytes(world)[:200])
    expect_launched(world)
    return messages


def junk_lines(size):
    """size bytes of lines without a colon: binary noise turned into text lines."""
    block = bytes((i * 7 + 13) % 256 for i in range(4096)).replace(b":", b".").replace(b"\n", b" ")
    line = block[:1023] + b"\n"
    return line * (size // len(line))


@scenario(windows=True)
def version_file_of_100_mb_is_refused(runner):
    # No version file is that large: it is refused on its Content-Length, unread
    # and unstored, and the game starts at once without an update.
    world, around = hostile_world(runner, "version-100mb")
    write_release_file(world, "version.txt", b"game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n" + junk_lines(100 * MB))
    before = world.install_tree()
    rc, launched, rss = run_measured(world)
    figure("version.txt of 100 MB: refused, launch after %.1f s, peak RSS %s MB" % (launched, fmt(rss)))
    expect_update_skipped(world, rc, ["version.txt refused: larger than 65536 bytes",
                                      "Failed to download remote version.txt. Proceeding without update.",
                                      "No update needed."], before)
    expect(launched < 10, "launch after %.1f s" % launched)
    expect(rss is None or rss < 64, "peak RSS %.0f MB" % (rss or 0))
    around.expect_unchanged()
    expect_converges(world, around)


@scenario(windows=True)
def version_file_with_nul_bytes_and_invalid_utf8(runner):
    # Noise around the two key lines: the keys are still found.
    world, around = hostile_world(runner, "version-nul")
    write_release_file(world, "version.txt", b"\x00\x00\xff\xfe junk \xc3\x28\r\n\x00\r\ngame-version: 1.2.4\r\n"
                       b"\xc3\x28\xa0: \xa1\xed\xa0\x80\x00\r\nupdater-version: 9.9.9\r\n\xf8\x88\x80\x80\x80\x00")
    rc = world.run()
    expect_applied(world, rc, "Remote game-version=1.2.4, updater-version=9.9.9")
    around.expect_unchanged()
    expect_converges(world, around, applied_already=True)


@scenario(windows=True)
def version_values_with_nul_bytes_and_invalid_utf8(runner):
    # The values themselves carry a NUL and bytes that are not UTF-8: the log
    # keeps whole, stamped lines with replacement characters.
    world, around = hostile_world(runner, "version-nul-value")
    write_release_file(world, "version.txt", b"game-version: 1.2.4\x00\xff\xfe\r\nupdater-version: 9.\xc3\x28\x00\r\n")
    rc = world.run()
    messages = world.log_messages()  # checks that every line is stamped and ends in CR LF
    expect_common_end(world, rc, messages)
    remote = [m for m in messages if m.startswith("Remote game-version=")]
    expect(remote == ["Remote game-version=1.2.4\x00??, updater-version=9.?(\x00"], "remote line: %r" % remote)
    expect_in_order(messages, ["version.txt updated*", LAUNCHED])
    expect_launched(world)
    recorded = version_bytes(world)
    expect(recorded == b"game-version: 1.2.4\x00\xff\xfe\r\nupdater-version: 1.0.0\r\n", "version.txt: %r" % recorded)
    around.expect_unchanged()
    # That recorded version is not older than 1.2.4, so the good server has
    # nothing newer to offer; the run after it converges on 1.2.5.
    start = len(messages)
    rc, _, _ = run_measured(world)
    expect_in_order(new_log_lines(world, start), ["No update needed.", SKIPPED, LAUNCHED])
    world.release(version=b"game-version: 1.2.5\r\nupdater-version: 9.9.9\r\n")
    start = len(world.log_messages())
    rc, _, _ = run_measured(world)
    messages = new_log_lines(world, start)
    expect_in_order(messages, ["version.txt updated (game=1.2.5, updater=1.0.0)", LAUNCHED])
    expect(version_bytes(world) == b"game-version: 1.2.5\r\nupdater-version: 1.0.0\r\n", "version.txt after 1.2.5")
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())
    around.expect_unchanged()


@scenario(windows=True)
def version_file_in_utf16(runner):
    # A publisher saved the file as UTF-16: every other byte is NUL, no key is found.
    world, around = hostile_world(runner, "version-utf16")
    write_release_file(world, "version.txt", "\ufeffgame-version: 1.2.4\r\nupdater-version: 9.9.9\r\n".encode("utf-16-le"))
    before = world.install_tree()
    rc = world.run()
    expect_update_skipped(world, rc, ["Remote game-version=0.0.0, updater-version=0.0.0", "No update needed."], before)
    around.expect_unchanged()
    expect_converges(world, around)


# -- a server that stalls ------------------------------------------------------------

def expect_stall_survived(runner, name, path, behaviour, route, description, longest):
    """The download gives up, the update is skipped and the game starts within `longest` seconds."""
    world, around = hostile_world(runner, name)
    world.server.set_behaviours({path: behaviour})
    before = world.install_tree()
    rc, launched, _ = run_measured(world)
    figure("%s: game launched after %.1f s" % (description, launched))
    expect_update_skipped(world, rc, route, before)
    around.expect_unchanged()
    expect(longest - 17 <= launched <= longest, "launch after %.1f s" % launched)
    expect_converges(world, around)


@scenario(windows=True)
def version_file_stalls_after_headers(runner):
    expect_stall_survived(runner, "stall-version", "/updates/version.txt", {"stall_body_after": 0},
                          ["Failed to download remote version.txt. Proceeding without update.", "No update needed."],
                          "version.txt stalls after the headers", RECEIVE_TIMEOUT + 15)


@scenario(windows=True)
def package_trickles_one_byte_every_20_s(runner):
    # Never silent for 30 s, so only the rule of two minutes without progress
    # ends it; what arrived stays for the next start, which finds a new package
    # on the server and starts that one from byte 0.
    world, around = hostile_world(runner, "trickle-package")
    world.server.set_behaviours({"/updates/update.zip": {"byte_interval": 20}})
    before = world.install_tree()
    rc, launched, _ = run_measured(world)
    figure("update.zip trickles one byte every 20 s: game launched after %.1f s" % launched)
    messages = world.log_messages()
    expect(rc == 0, "exit code %r" % rc)
    expect_in_order(messages, ["Remote game-version=1.2.4, updater-version=9.9.9",
                               "update.zip: giving up at byte * after no progress for 120 s; the next start resumes",
                               "Download update.zip failed. Will skip update.", SKIPPED, LAUNCHED])
    tree = world.install_tree()
    expect(tree.get("update.zip.part") and "update.zip.resume.part" in tree, "the bytes that arrived are kept")
    expect({k: v for k, v in tree.items() if not k.endswith(".part")} == before, "installation untouched")
    expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")
    expect_launched(world)
    expect(120 <= launched <= 150, "launch after %.1f s" % launched)
    around.expect_unchanged()
    expect_converges(world, around)


@scenario(windows=True)
def version_file_never_answered(runner):
    # The request goes out but no status line ever comes back.
    expect_stall_survived(runner, "stall-headers", "/updates/version.txt", {"stall_headers": True},
                          ["Failed to download remote version.txt. Proceeding without update.", "No update needed."],
                          "version.txt request never answered", VERSION_DEADLINE + 15)


@scenario(windows=True)
def maps_download_fails_after_the_update(runner):
    world, around = hostile_world(runner, "maps-fail")
    world.server.set_behaviours({"/updates/maps.zip": {"close_at_once": True}})
    rc, launched, _ = run_measured(world)
    figure("maps.zip connections closed after an applied update: game launched after %.1f s" % launched)
    messages = world.log_messages()
    expect_common_end(world, rc, messages)
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip: * attempt 5 in *",
                               "Download maps.zip failed.", "maps.zip update skipped/failed.", LAUNCHED])
    expect(world.install_tree() == updated_install(), "the update itself is in place")
    expect_launched(world)
    around.expect_unchanged()
    expect(read_tree(world.data) == with_directories(OLD_DATA), "the player's maps stay as they were")
    # A failed maps download is not retried: the next start with a good server
    # finds the game current and leaves the data directory alone.
    world.server.set_behaviours({})
    start = len(messages)
    rc, _, _ = run_measured(world)
    expect(rc == 0, "exit code %r" % rc)
    expect_in_order(new_log_lines(world, start), ["No update needed.", SKIPPED, LAUNCHED])
    expect(world.install_tree() == updated_install(), "installation stays the new release")
    expect(version_bytes(world) == NEW_VERSION_BYTES, "version.txt new")
    expect(not world.leftovers(), "leftovers: %r" % world.leftovers())
    expect(read_tree(world.data) == with_directories(OLD_DATA), "the player's maps stay as they were")
    around.expect_unchanged()


# -- redirects ---------------------------------------------------------------------

def redirected_world(runner, name, target_cert, target_host):
    world, around = hostile_world(runner, name)
    cert = runner.pki[target_cert + "_cert"] if target_cert else None
    key = runner.pki[target_cert + "_key"] if target_cert else None
    side = SideServer(world.root + ("-side" if target_cert else "-plain"), cert, key)
    shutil.copy(os.path.join(world.server.updates, "update.zip"), os.path.join(side.root, "pkg", "update.zip"))
    scheme = "https" if target_cert else "http"
    world.server.set_behaviours({"/updates/update.zip": {
        "redirect": "%s://%s:%d/pkg/update.zip" % (scheme, target_host, side.port)}})
    return world, around, side


@scenario(windows=True)
def package_redirected_to_another_host(runner):
    # WinHTTP follows redirects by default, and the POSIX build does the same for
    # https targets; the certificate is checked against the new host.
    world, around, side = redirected_world(runner, "redirect-other", "other", OTHER_HOST)
    try:
        rc = world.run()
    finally:
        side.stop()
    expect(side.requested_paths() == ["/pkg/update.zip"], "target requests: %r" % side.requested_paths())
    expect_applied(world, rc, "Remote game-version=1.2.4, updater-version=9.9.9")
    around.expect_unchanged()
    expect_converges(world, around, applied_already=True)


def expect_redirect_refused(runner, name, target_cert, target_host):
    """The redirect is not followed: the target hears nothing, the update is skipped."""
    world, around, side = redirected_world(runner, name, target_cert, target_host)
    before = world.install_tree()
    try:
        rc = world.run()
    finally:
        side.stop()
    expect(side.requested_paths() == [], "the redirect target was asked: %r" % side.requested_paths())
    expect_update_skipped(world, rc, ["Download update.zip failed. Will skip update."], before)
    around.expect_unchanged()
    expect_converges(world, around)


@scenario(windows=True)
def package_redirected_to_a_host_whose_certificate_does_not_match(runner):
    expect_redirect_refused(runner, "redirect-mismatch", "other", MISMATCHED_HOST)


@scenario(windows=True)
def package_redirected_from_https_to_plain_http(runner):
    expect_redirect_refused(runner, "redirect-plain", None, "localhost")


# -- packages that lie about their sizes ---------------------------------------------

def deflate(chunks):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return b"".join(packer.compress(c) for c in chunks) + packer.flush()


def lying_zip(entries, zip64=False):
    """A deflated package from (name, stream, crc, declared size) entries: the
    headers declare whatever size they are given, the streams hold what they hold."""
    local_parts, central_parts, offset = [], [], 0
    for name, stream, crc, declared in entries:
        raw = name.encode()
        if zip64:
            extra_local = struct.pack("<HHQQ", 1, 16, declared, len(stream))
            extra_central = struct.pack("<HHQQQ", 1, 24, declared, len(stream), offset)
            size32, packed32, offset32, version = 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 45
        else:
            extra_local = extra_central = b""
            size32, packed32, offset32, version = declared, len(stream), offset, 20
        local = struct.pack("<IHHHHHIIIHH", 0x04034B50, version, 0, 8, 0, 0, crc, packed32, size32, len(raw),
                            len(extra_local)) + raw + extra_local + stream
        central_parts.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, version, version, 0, 8, 0, 0, crc, packed32,
                                         size32, len(raw), len(extra_central), 0, 0, 0, 0, offset32)
                             + raw + extra_central)
        local_parts.append(local)
        offset += len(local)
    central = b"".join(central_parts)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), offset, 0)
    return b"".join(local_parts) + central + end


def honest_entry(name, data, declared):
    return name, deflate([data]), zlib.crc32(data), declared


def lying_package_run(runner, name, package):
    world, around = hostile_world(runner, name)
    write_release_file(world, "update.zip", package)
    before = world.install_tree()
    rc, _, rss = run_measured(world)
    expect_update_skipped(world, rc, ["ExtractZip to *", "Extract failed. Skipping update."], before)
    around.expect_unchanged()
    expect_converges(world, around)
    return rss


@scenario(windows=True)
def package_entries_declare_4_gb(runner):
    lying_package_run(runner, "declares-4gb", lying_zip([honest_entry("game.dat", b"tiny", 0xFFFFFFF0),
                                                         honest_entry("Data/levels.pak", b"x" * 1000, 0xFFFFFFF0)]))


@scenario()
def package_entries_declare_a_terabyte_in_zip64(runner):
    lying_package_run(runner, "declares-1tb", lying_zip([honest_entry("game.dat", b"tiny", 1 << 40)], zip64=True))


@scenario(windows=True)
def package_entry_expands_far_beyond_its_declared_size(runner):
    # The opposite lie: 1 KB declared (with the CRC of 1 KB of zeros), 200 MB of zeros in the stream.
    bomb = ("game.dat", deflate(b"\0" * MB for _ in range(200)), zlib.crc32(b"\0" * 1024), 1024)
    rss = lying_package_run(runner, "bomb", lying_zip([bomb]))
    figure("package whose 1 KB entry inflates to 200 MB: extraction refused, peak RSS %s MB" % fmt(rss))


# -- a disk too small for the package ------------------------------------------------

def fmt(value):
    return "n/a" if value is None else "%.1f" % value


def big_files(count, size):
    return {"Data/big%d.pak" % i: bytes([i]) * size for i in range(count)}


def small_disk_world(runner, name, package_extra):
    world, around = hostile_world(runner, name)
    world.release(update=dict(NEW_PACKAGE, **package_extra))
    used = sum(os.path.getsize(os.path.join(here, f)) for here, _, files in os.walk(world.install) for f in files)
    size_mb = used // MB + 1 + 10  # the installation plus 10 MB free
    mount_small_disk(world.install, size_mb)
    return world, around, size_mb


@scenario()
def package_larger_than_the_free_space(runner):
    world, around, size_mb = small_disk_world(runner, "disk-full-extract", big_files(3, 8 * MB))
    try:
        before = world.install_tree()
        rc = world.run()
        expect_update_skipped(world, rc, ["ExtractZip to *", "Extract failed. Skipping update."], before)
        around.expect_unchanged()
        figure("24 MB package on a disk with 10 MB free: extraction refused, game launched")
        resize_small_disk(world.install, size_mb + 64)
        expect_converges(world, around, package_extra=big_files(3, 8 * MB))
    finally:
        unmount(world.install)


@scenario()
def package_fits_unpacked_but_not_copied(runner):
    # 7 MB unpack into 10 MB free; the copy over the installation then runs out.
    world, around, size_mb = small_disk_world(runner, "disk-full-copy", big_files(1, 7 * MB))
    try:
        rc = world.run()
        messages = world.log_messages()
        expect_common_end(world, rc, messages)
        expect_in_order(messages, ["Extracted file count: 5", "Failed to copy: *", "Update incomplete: *", SKIPPED,
                                   LAUNCHED])
        expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")
        expect_launched(world)
        around.expect_unchanged()
        resize_small_disk(world.install, size_mb + 64)
        expect_converges(world, around, package_extra=big_files(1, 7 * MB))
    finally:
        unmount(world.install)


# -- main ----------------------------------------------------------------------------

def main(argv):
    args = parse_arguments(argv, __doc__)
    if os.geteuid() != 0:
        print("the scenarios need root for their mount namespaces and small file systems")
        return 1
    chosen = chosen_scenarios([s for s in SCENARIOS if s.windows or not args.wine], args.only)
    if not chosen:
        print("nothing to run for this build\n0 passed, 0 failed")
        return 77
    enter_private_mount_namespace()
    runner = HostileRunner(args.program, args.stub, wine=args.wine, keep=args.keep)
    passed = failed = 0
    known = []
    try:
        for fn in chosen:
            started = time.monotonic()
            try:
                fn(runner)
            except Exception:  # a scenario's failure is reported, the rest still run
                print("FAIL", fn.__name__, flush=True)
                traceback.print_exc()
                if fn.known_fault:
                    print("  known fault, not counted: %s" % fn.known_fault, flush=True)
                    known.append(fn.__name__)
                else:
                    failed += 1
                continue
            if fn.known_fault:
                failed += 1
                print("FAIL %s: passes now; drop its known_fault mark" % fn.__name__, flush=True)
            else:
                passed += 1
                print("PASS %s (%.0f s)" % (fn.__name__, time.monotonic() - started), flush=True)
    finally:
        runner.close()
    if known:
        print("known faults shown (not counted): %s" % ", ".join(known))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
