#!/usr/bin/env python3
"""Runs download_tests against local servers (tests/e2e/server.py): trusted,
untrusted CA, wrong host name and plain HTTP, with the test CA and four extra
host names trusted and resolved in a private mount namespace. The one test that
waits out the 30-second no-data limit runs beside the others.

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
import server  # noqa: E402
import testca  # noqa: E402

LONGEST_HOST = ".".join(["h" * 63] * 4)          # 255 characters
TOO_LONG_HOST = ".".join(["l" * 63] * 4) + ".x"  # 257 characters
SLOW = "*StalledBody*"


def behaviours(ports):
    trusted, untrusted, plain = ports["trusted"], ports["untrusted"], ports["plain"]
    big = {"body_file": "files/big.bin"}
    return {
        "/chunked": dict(big, chunked=True),
        "/slow": {"body_file": "files/small.txt", "rate": 20},
        "/redirect": {"redirect": "/files/big.bin"},
        "/redirect-absolute": {"redirect": "https://localhost:%d/files/big.bin" % trusted, "status": 301},
        "/redirect-twice": {"redirect": "/redirect", "status": 307},
        "/redirect-other-host": {"redirect": "https://otherhost.test:%d/files/big.bin" % trusted},
        "/status-500": {"status": 500, "body": "server error"},
        "/status-204": {"status": 204, "body": ""},
        "/status-206": {"status": 206, "body": "partial"},
        "/status-201": {"status": 201, "body": "created"},
        "/redirect-to-missing": {"redirect": "/missing"},
        "/redirect-without-location": {"status": 302, "body": ""},
        "/redirect-loop": {"redirect": "/redirect-loop"},
        "/redirect-untrusted": {"redirect": "https://localhost:%d/files/big.bin" % untrusted},
        "/redirect-mismatched-host": {"redirect": "https://mismatch.test:%d/files/big.bin" % trusted},
        "/redirect-to-plain": {"redirect": "http://localhost:%d/files/big.bin" % plain},
        "/cut": dict(big, cut_body_after=100000),
        "/cut-empty": dict(big, cut_body_after=0),
        "/cut-chunked": dict(big, chunked=True, cut_body_after=100000),
        "/close": {"close_at_once": True},
        "/stall-body": dict(big, stall_body_after=1000),
    }


def run_inside(command, log):
    """In the namespace: the slow test first, the others once it has begun."""
    if any(arg.startswith("--gtest_filter") for arg in command):
        return subprocess.call(command)
    slow = subprocess.Popen(command + ["--gtest_filter=" + SLOW], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and slow.poll() is None:
        if os.path.exists(log) and "/stall-body" in open(log).read():
            break
        time.sleep(0.1)
    rest = subprocess.call(command + ["--gtest_filter=-" + SLOW])
    output, _ = slow.communicate()
    sys.stdout.write(output.decode("utf-8", "replace"))
    return rest or slow.returncode


def main(argv):
    gtest_args = argv[argv.index("--") + 1:] if "--" in argv else []
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--inner")
    options = parser.parse_args(argv[:argv.index("--")] if "--" in argv else argv)
    if options.inner:
        with open(options.inner) as source:
            inner = json.load(source)
        os.environ.update(inner["environment"])
        return run_inside(inner["command"], inner["log"])
    if not shutil.which("unshare") or subprocess.call(["unshare", "-m", "true"], stderr=subprocess.DEVNULL) != 0:
        print("skipped: a private mount namespace needs root (unshare -m)")
        return 77
    work = tempfile.mkdtemp(prefix="updater-net-")
    servers = []
    try:
        pki = testca.make_test_pki(os.path.join(work, "pki"))
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "files"))
        contents = {"empty.bin": b"", "small.txt": b"game-version: 1.2.4\r\nupdater-version: 1.0.0\r\n",
                    "big.bin": random.Random(4).randbytes(1024 * 1024 + 4321)}
        for name, data in contents.items():
            with open(os.path.join(root, "files", name), "wb") as out:
                out.write(data)
        log, behaviours_file = os.path.join(work, "events.jsonl"), os.path.join(work, "behaviours.json")
        ports = {}
        for name in ("trusted", "untrusted", "wronghost", "plain"):
            cert = {"trusted": "localhost", "untrusted": "untrusted", "wronghost": "wronghost"}.get(name)
            keys = (pki[cert + "_cert"], pki[cert + "_key"]) if cert else (None, None)
            process, ports[name] = server.launch(root, os.path.join(work, name + ".ready"), *keys,
                                                 behaviours=behaviours_file, log=log)
            servers.append(process)
        with open(behaviours_file, "w") as out:
            json.dump(behaviours(ports), out)
        hosts = testca.make_hosts_file(os.path.join(work, "hosts"),
                                       [LONGEST_HOST, TOO_LONG_HOST, "otherhost.test", "mismatch.test"])
        drive = "Z:" if options.emulator else ""  # under Wine, Unix paths as absolute Windows paths
        base = {name: "https://localhost:%d" % port for name, port in ports.items()}
        environment = dict(UPDATER_NET_BASE=base["trusted"], UPDATER_NET_UNTRUSTED_BASE=base["untrusted"],
                           UPDATER_NET_WRONGHOST_BASE=base["wronghost"],
                           UPDATER_NET_PLAIN_BASE="http://localhost:%d" % ports["plain"],
                           UPDATER_NET_ROOT=drive + root, UPDATER_NET_LOG=drive + log,
                           UPDATER_NET_LONGEST_HOST=LONGEST_HOST, UPDATER_NET_TOO_LONG_HOST=TOO_LONG_HOST)
        inner = os.path.join(work, "inner.json")
        with open(inner, "w") as out:
            json.dump({"environment": environment, "log": log,
                       "command": ([options.emulator] if options.emulator else []) + [options.binary] + gtest_args}, out)
        command = [sys.executable, os.path.abspath(__file__), "--binary", options.binary, "--inner", inner]
        return subprocess.call(testca.trusted_command(command, pki["bundle"], hosts, wine=bool(options.emulator)))
    finally:
        for process in servers:
            server.stop(process)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
