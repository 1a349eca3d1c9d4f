#!/usr/bin/env python3
"""Runs download_tests against local servers: makes a test CA and certificates,
starts four servers from tests/e2e/server.py (trusted, untrusted CA, wrong host
name, plain HTTP), and runs the test binary (natively or under an emulator such
as wine) in a mount namespace where the test CA is part of the system bundle and
two long host names resolve to loopback.

Usage: run_download_tests.py --binary PATH [--emulator wine] [-- gtest args...]
Exits with the binary's status, or 77 when the namespace cannot be made (not root).
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import testca  # noqa: E402

SKIP = 77
LONGEST_HOST = ".".join(["h" * 63] * 4)          # 255 characters
TOO_LONG_HOST = ".".join(["l" * 63] * 4) + ".x"  # 257 characters
LARGE = 4 * 1024 * 1024


def make_served_files(root):
    files = os.path.join(root, "files")
    os.makedirs(files)
    generator = random.Random(4)
    contents = {"empty.bin": b"", "small.txt": b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n",
                "big.bin": generator.randbytes(1024 * 1024 + 4321), "large.bin": generator.randbytes(LARGE)}
    for name, data in contents.items():
        with open(os.path.join(files, name), "wb") as out:
            out.write(data)
    with open(os.path.join(files, "huge.bin"), "wb") as out:
        out.truncate(100 * 1024 * 1024)  # sparse: 100 MB of zeros


def behaviours(ports):
    trusted, untrusted, plain = ports["trusted"], ports["untrusted"], ports["plain"]
    big = {"body_file": "files/big.bin"}
    large = {"body_file": "files/large.bin"}
    return {
        "/chunked": dict(big, chunked=True),
        "/redirect": {"redirect": "/files/big.bin"},
        "/redirect-absolute": {"redirect": "https://localhost:%d/files/big.bin" % trusted, "status": 301},
        "/redirect-twice": {"redirect": "/redirect", "status": 307},
        "/status-500": {"status": 500, "body": "server error"},
        "/status-204": {"status": 204, "body": ""},
        "/status-206": {"status": 206, "body": "partial"},
        "/status-201": {"status": 201, "body": "created"},
        "/redirect-to-missing": {"redirect": "/missing"},
        "/redirect-without-location": {"status": 302, "body": ""},
        "/cut": dict(big, cut_body_after=100000),
        "/cut-empty": dict(big, cut_body_after=0),
        "/cut-chunked": dict(big, chunked=True, cut_body_after=100000),
        "/close": {"close_at_once": True},
        "/redirect-untrusted": {"redirect": "https://localhost:%d/files/big.bin" % untrusted},
        "/redirect-to-plain": {"redirect": "http://localhost:%d/files/big.bin" % plain},
        "/redirect-loop": {"redirect": "/redirect-loop"},
        "/slow": {"body": "s" * 40, "rate": 20},
        "/stall-body": dict(big, stall_body_after=1000),
        # Packages whose download is cut and then continued, or not.
        "/resume-at-90": {"sequence": [dict(large, cut_body_after=LARGE * 9 // 10), large]},
        "/ignores-range": {"sequence": [dict(large, cut_body_after=LARGE // 2), dict(large, ranges=False)]},
        "/shifted-range": {"sequence": [dict(large, cut_body_after=LARGE // 2), dict(large, range_shift=1000), large]},
        "/changed-etag": {"sequence": [dict(large, cut_body_after=LARGE // 2),
                                       dict(large, etag='"other"', ignore_if_range=True), dict(large, etag='"other"')]},
        "/busy": {"sequence": [{"status": 503, "body": "busy", "headers": {"Retry-After": "2"}}, large]},
        "/next-start": {"sequence": [dict(large, cut_body_after=LARGE // 2), {"status": 404, "body": ""}, large]},
        "/huge": {"body_file": "files/huge.bin"},
        "/huge-chunked": {"body_file": "files/huge.bin", "chunked": True},
    }


def start_server(work, name, log, behaviours_file, cert=None, key=None):
    ready = os.path.join(work, name + ".ready")
    command = [sys.executable, os.path.join(HERE, "..", "e2e", "server.py"), "--root", os.path.join(work, "root"),
               "--log", log, "--ready", ready, "--behaviours", behaviours_file]
    command += ["--cert", cert, "--key", key] if cert else ["--plain"]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("server %s did not start" % name)
        time.sleep(0.02)
    with open(ready) as source:
        return process, json.load(source)["port"]


def can_make_namespace():
    return shutil.which("unshare") and subprocess.call(["unshare", "-m", "true"], stderr=subprocess.DEVNULL) == 0


def run(options, gtest_args):
    if not can_make_namespace():
        print("skipped: a private mount namespace needs root (unshare -m)")
        return SKIP
    work = tempfile.mkdtemp(prefix="updater-net-")
    servers = []
    try:
        pki = testca.make_test_pki(os.path.join(work, "pki"))
        make_served_files(os.path.join(work, "root"))
        log, behaviours_file = os.path.join(work, "events.jsonl"), os.path.join(work, "behaviours.json")
        ports = {}
        for name, cert in (("trusted", "localhost"), ("untrusted", "untrusted"), ("wronghost", "wronghost"),
                           ("plain", None)):
            keys = (pki[cert + "_cert"], pki[cert + "_key"]) if cert else ()
            process, ports[name] = start_server(work, name, log, behaviours_file, *keys)
            servers.append(process)
        with open(behaviours_file, "w") as out:
            json.dump(behaviours(ports), out)
        hosts = testca.make_hosts_file(os.path.join(work, "hosts"), [LONGEST_HOST, TOO_LONG_HOST])
        # Under Wine, "Z:" makes the Unix paths absolute Windows paths.
        drive = "Z:" if options.emulator else ""
        environment = dict(os.environ,
                           UPDATER_NET_BASE="https://localhost:%d" % ports["trusted"],
                           UPDATER_NET_UNTRUSTED_BASE="https://localhost:%d" % ports["untrusted"],
                           UPDATER_NET_WRONGHOST_BASE="https://localhost:%d" % ports["wronghost"],
                           UPDATER_NET_PLAIN_BASE="http://localhost:%d" % ports["plain"],
                           UPDATER_NET_ROOT=drive + os.path.join(work, "root"),
                           UPDATER_NET_LOG=drive + log,
                           UPDATER_NET_LONGEST_HOST=LONGEST_HOST,
                           UPDATER_NET_TOO_LONG_HOST=TOO_LONG_HOST)
        command = ([options.emulator] if options.emulator else []) + [options.binary] + gtest_args
        wrapped = testca.trusted_command(command, pki["bundle"], hosts, wine=bool(options.emulator))
        return subprocess.call(wrapped, env=environment)
    finally:
        for process in servers:
            process.terminate()
        for process in servers:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    gtest_args = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[:argv.index("--")] if "--" in argv else argv
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--emulator", default="")
    return run(parser.parse_args(argv), gtest_args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
