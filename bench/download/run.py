#!/usr/bin/env python3
"""Download benchmark: DownloadFile (through download_fetch.cpp beside this script) against
`curl -o` for one large file from nginx over TLS on loopback, both trusting the
run's test CA through a private mount namespace (needs root). A third client,
DownloadPackage, fetches the same file checking its SHA-256 as it arrives: the
cost of the check.

Usage: bench/download/run.py [--build build/native] [--size-mb 500] [--runs 5]
                             [--emulator wine] [--rate-mb N]
Prints the median wall time of each client and their ratio. Work files go to
bench/out/download/ and are removed afterwards.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "scripts"))
import local_ca  # noqa: E402
import nginx_server  # noqa: E402

def measure(arguments):
    """Runs inside the namespace: alternates the two clients, prints JSON."""
    url, destination, runs, sha256, ours = arguments[0], arguments[1], int(arguments[2]), arguments[3], arguments[4:]
    clients = {"curl": ["curl", "-sS", "-o", destination, url], "DownloadFile": ours + [url, destination],
               "DownloadPackage": ours + [url, destination, sha256]}
    times = {name: [] for name in clients}
    for _ in range(runs):
        for name, command in clients.items():
            if os.path.exists(destination):
                os.remove(destination)
            start = time.perf_counter()
            subprocess.run(command, check=True)
            times[name].append(time.perf_counter() - start)
    print(json.dumps(times))


def main(argv):
    if argv and argv[0] == "--measure":
        return measure(argv[1:])
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(TOP, "build", "native"))
    parser.add_argument("--size-mb", type=int, default=500)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--rate-mb", type=int, default=0, help="serve at most this many MB/s (0: unlimited)")
    options = parser.parse_args(argv)
    subprocess.run(["cmake", "--build", options.build, "--target", "download_fetch"], check=True)
    fetch = os.path.join(os.path.abspath(options.build), "bench",
                         "download_fetch.exe" if options.emulator else "download_fetch")
    work = os.path.join(TOP, "bench", "out", "download")
    shutil.rmtree(work, ignore_errors=True)
    root = os.path.join(work, "root")
    os.makedirs(root)
    nginx = None
    try:
        pki = local_ca.make_pki(os.path.join(work, "pki"))
        package = os.path.join(root, "update.zip")
        subprocess.run(["head", "-c", "%dM" % options.size_mb, "/dev/urandom"], stdout=open(package, "wb"),
                       check=True)
        port = nginx_server.free_port()
        nginx = nginx_server.start(work, pki, root, port, "%dm" % options.rate_mb)
        url = "https://localhost:%d/update.zip" % port
        destination = os.path.join(work, "fetched.zip")
        ours = ([options.emulator] if options.emulator else []) + [fetch]
        sha256 = subprocess.run(["sha256sum", package], check=True, stdout=subprocess.PIPE, text=True).stdout.split()[0]
        inner = [sys.executable, os.path.abspath(__file__), "--measure", url, destination, str(options.runs),
                 sha256] + ours
        output = subprocess.run(local_ca.trusted_command(inner, pki["bundle"], wine=bool(options.emulator)),
                                check=True, stdout=subprocess.PIPE, text=True).stdout
        times = json.loads(output.strip().splitlines()[-1])
        identical = subprocess.call(["cmp", "-s", package, destination]) == 0
        ours_median, curl_median = statistics.median(times["DownloadFile"]), statistics.median(times["curl"])
        print("file: %d MB over TLS from nginx on loopback%s, %d runs each, alternating" % (
            options.size_mb, " at %d MB/s" % options.rate_mb if options.rate_mb else "", options.runs))
        print("DownloadFile%s: median %.2f s (runs: %s)" % (" under " + options.emulator if options.emulator else "",
              ours_median, ", ".join("%.2f" % t for t in times["DownloadFile"])))
        print("curl -o:      median %.2f s (runs: %s)" % (curl_median, ", ".join("%.2f" % t for t in times["curl"])))
        checked_median = statistics.median(times["DownloadPackage"])
        print("DownloadPackage with SHA-256 check: median %.2f s (runs: %s); cost of the check: %+.1f %%" %
              (checked_median, ", ".join("%.2f" % t for t in times["DownloadPackage"]),
               100 * (checked_median / ours_median - 1)))
        print("ratio DownloadFile / curl: %.3f; last download identical to the source: %s" %
              (ours_median / curl_median, "yes" if identical else "NO"))
        return 0 if identical else 1
    finally:
        if nginx:
            nginx_server.stop(nginx)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
