#!/usr/bin/env python3
"""Runs download_tests against four local servers (tests/e2e/server.py):
trusted, untrusted CA, wrong host name and plain HTTP, in a private mount
namespace that trusts the test CA and resolves four more host names. The two
tests that wait out a 30-second limit run beside the others.

Usage: run_download_tests.py --binary PATH [--emulator wine] [-- gtest args...]
Exits with the binary's status, or 77 when the namespace cannot be made (not root).
"""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "..", "scripts")]
import local_ca  # noqa: E402
import server  # noqa: E402
from sandbox import write_tree  # noqa: E402

LONGEST_HOST = ".".join(["h" * 63] * 4)          # 255 characters
TOO_LONG_HOST = ".".join(["l" * 63] * 4) + ".x"  # 257 characters
SLOW = "*StalledBody*:*NeverAnswered*:*DifferentialFetch*:*FailOver*"
LARGE = 4 * 1024 * 1024


def behaviours(trusted, untrusted, plain):
    big, large = {"body_file": "files/big.bin"}, {"body_file": "files/large.bin"}
    delta, delta_corrupt = {"body_file": "files/delta.zip"}, {"body_file": "files/delta-corrupt.zip"}
    return {
        "/chunked": dict(big, chunked=True), "/slow": {"body_file": "files/small.txt", "rate": 20},
        "/redirect": {"redirect": "/files/big.bin"},
        "/redirect-absolute": {"redirect": "https://localhost:%d/files/big.bin" % trusted, "status": 301},
        "/redirect-twice": {"redirect": "/redirect", "status": 307},
        "/redirect-other-host": {"redirect": "https://otherhost.test:%d/files/big.bin" % trusted},
        "/redirect-without-location": {"status": 302, "body": ""},
        "/redirect-loop": {"redirect": "/redirect-loop"},
        "/redirect-untrusted": {"redirect": "https://localhost:%d/files/big.bin" % untrusted},
        "/redirect-mismatched-host": {"redirect": "https://mismatch.test:%d/files/big.bin" % trusted},
        "/redirect-to-plain": {"redirect": "http://localhost:%d/files/big.bin" % plain},
        "/cut": dict(big, cut_body_after=100000), "/cut-empty": dict(big, cut_body_after=0),
        "/cut-chunked": dict(big, chunked=True, cut_body_after=100000), "/close": {"close_at_once": True},
        "/stall-body": dict(big, stall_body_after=1000),
        # Packages cut once, then continued, or started again after a changed ETag.
        "/resume-at-90": {"sequence": [dict(large, cut_body_after=LARGE * 9 // 10), large]},
        "/changed-etag": {"sequence": [dict(large, cut_body_after=LARGE // 2),
                                       dict(large, etag='"other"', ignore_if_range=True), dict(large, etag='"other"')]},
        "/closes-after-10": dict(large, close_after=10),
        "/busy": {"sequence": [{"status": 503, "body": "busy", "headers": {"Retry-After": "2"}}, large]},
        "/busy-slow": {"sequence": [{"status": 503, "body": "b" * 1000, "rate": 200, "headers": {"Retry-After": "1"}},
                                    large]},
        "/never-answers": {"delay_headers": 100},
        # First servers of a list: always busy, cut halfway.
        "/always-503": {"status": 503, "body": "busy"},
        "/cut-large": dict(large, cut_body_after=LARGE // 2), "/stall-large": dict(large, stall_body_after=1000),
        # The differential update's ranges of files/delta.zip.
        "/delta-no-ranges": dict(delta, ranges=False),
        "/delta-shifted": {"sequence": [delta, delta, dict(delta, range_shift=1)]},
        "/delta-wrong-bytes": {"sequence": [dict(delta, etag='"x"')] * 2 + [dict(delta_corrupt, etag='"x"')]},
        "/delta-etag-changed": {"sequence": [dict(delta, etag='"a"')] * 2 + [dict(delta, etag='"b"', ignore_if_range=True)]},
        "/delta-no-validator": dict(delta, no_validators=True),
        # A 206 running past its range, finite and endless: the directory's tail, a changed entry's span.
        "/delta-tail-overrun": {"sequence": [delta, dict(delta, overrun=1000), delta]},
        "/delta-tail-endless": {"sequence": [delta, dict(delta, overrun=-1), delta]},
        "/delta-span-overrun": {"sequence": [delta, delta, dict(delta, overrun=1000)]},
        "/delta-span-endless": {"sequence": [delta, delta, dict(delta, overrun=-1)]},
        "/delta-span-trickled": {"sequence": [delta, delta, dict(delta, rate=2000)]},
        "/huge-chunked": {"body_file": "files/huge.bin", "chunked": True},
    }


def write_delta_package(files):
    """delta.zip (stored a.bin, b.bin, c.bin of 100 KB), a copy with one byte of b.bin's content
    changed, and delta-install/ holding a.bin and c.bin as packaged but an older b.bin."""
    rng, package = random.Random(6), os.path.join(files, "delta.zip")
    entries = {name: rng.randbytes(100_000) for name in ("a.bin", "b.bin", "c.bin")}
    with zipfile.ZipFile(package, "w", zipfile.ZIP_STORED) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)
    data = bytearray(open(package, "rb").read())
    data[data.index(entries["b.bin"]) + 500] ^= 0xFF
    write_tree(files, {"delta-corrupt.zip": bytes(data), "delta-install/a.bin": entries["a.bin"],
                       "delta-install/b.bin": rng.randbytes(100_000), "delta-install/c.bin": entries["c.bin"]})


def run_inside(command, log):
    """In the namespace: the slow tests first, the others once they have begun."""
    if any(arg.startswith("--gtest_filter") for arg in command):
        return subprocess.call(command)
    slow = subprocess.Popen(command + ["--gtest_filter=" + SLOW], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and slow.poll() is None and \
            not any(path in open(log).read() for path in ("/stall-body", "/never-answers")):
        time.sleep(0.1)
    rest = subprocess.call(command + ["--gtest_filter=-" + SLOW])
    sys.stdout.write(slow.communicate()[0].decode("utf-8", "replace"))
    return rest or slow.returncode


def main(argv):
    gtest_args = argv[argv.index("--") + 1:] if "--" in argv else []
    options = dict(zip(argv[:len(argv) - len(gtest_args)][::2], argv[1::2]))
    if "--inner" in options:
        inner = json.load(open(options["--inner"]))
        os.environ.update(inner["environment"])
        return run_inside(inner["command"], inner["log"])
    if subprocess.call(["unshare", "-m", "true"], stderr=subprocess.DEVNULL) != 0:
        print("skipped: a private mount namespace needs root (unshare -m)")
        return 77
    work = tempfile.mkdtemp(prefix="updater-net-")
    servers, ports = [], {}
    try:
        pki = local_ca.make_pki(os.path.join(work, "pki"))
        root, log = os.path.join(work, "root"), os.path.join(work, "events.jsonl")
        write_tree(os.path.join(root, "files"), {
            "empty.bin": b"", "small.txt": b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n",
            "big.bin": random.Random(4).randbytes(1024 * 1024 + 4321), "large.bin": random.Random(5).randbytes(LARGE)})
        write_delta_package(os.path.join(root, "files"))
        with open(os.path.join(root, "files", "huge.bin"), "wb") as huge:
            huge.truncate(100 * 1024 * 1024)  # sparse: 100 MB of zeros
        open(log, "w").close()
        for name, cert in (("trusted", "localhost"), ("untrusted", "untrusted"), ("wronghost", "wronghost"),
                           ("plain", None)):
            keys = (pki[cert + "_cert"], pki[cert + "_key"]) if cert else (None, None)
            process, ports[name] = server.launch(root, os.path.join(work, name), *keys,
                                                 behaviours=os.path.join(work, "behaviours.json"), log=log)
            servers.append(process)
        json.dump(behaviours(ports["trusted"], ports["untrusted"], ports["plain"]),
                  open(os.path.join(work, "behaviours.json"), "w"))
        hosts = local_ca.make_hosts_file(os.path.join(work, "hosts"),
                                       [LONGEST_HOST, TOO_LONG_HOST, "otherhost.test", "mismatch.test"])
        drive = "Z:" if "--emulator" in options else ""  # under Wine, Unix paths as absolute Windows paths
        environment = {"UPDATER_NET_%s_BASE" % name.upper(): "%s://localhost:%d" % ("http" if name == "plain" else "https", port)
                       for name, port in ports.items()}
        environment.update(UPDATER_NET_ROOT=drive + root, UPDATER_NET_LOG=drive + log,
                           UPDATER_NET_LONGEST_HOST=LONGEST_HOST, UPDATER_NET_TOO_LONG_HOST=TOO_LONG_HOST)
        command = ([options["--emulator"]] if "--emulator" in options else []) + [options["--binary"]] + gtest_args
        json.dump(dict(environment=environment, log=log, command=command), open(os.path.join(work, "inner.json"), "w"))
        inner = [sys.executable, os.path.abspath(__file__), "--inner", os.path.join(work, "inner.json")]
        return subprocess.call(local_ca.trusted_command(inner, pki["bundle"], hosts, wine="--emulator" in options))
    finally:
        for process in servers:
            server.stop(process)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
