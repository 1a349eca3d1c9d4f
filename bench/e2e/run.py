#!/usr/bin/env python3
"""End-to-end benchmark of the built updater against a local HTTPS update
server (nginx over TLS on loopback, port 48450, a per-run test CA that only a
private mount namespace trusts; needs root).

Figures, each against a baseline measured in the same run:
  startup   no update due: exec to the game stand-in's start, against one
            `curl -o` of version.txt from the same server
  update    a full update (download, extraction, delete phase with a
            safelist, copy, maps) of a 1 GiB / 10,000-file release, against
            curl -o + unzip -o -q + cp -a of the same release on the same
            trees; every run starts from the same old installation; beside
            it the same program built with UPDATER_BENCH_UNFLUSHED (nothing
            flushed to the disk): what surviving a power cut costs
  wine      the same full update with the Windows build under Wine (and its
            unflushed build), exec to exit
  memory    peak memory (/usr/bin/time -v) of the full update with a
            100 MiB / 1,000-file and the 1 GiB package
  windows   size of Updater.exe and the DLLs it imports

Usage: bench/e2e/run.py [--runs 3] [--startup-runs 21] [--only startup,update,windows,wine] [--keep]
                        [--rate-mbit N] [--second PATH] [--second-win PATH]
--rate-mbit N limits nginx to N Mbit/s per connection; the update figure's
reference is then curl alone fetching update.zip, and the unflushed build is
not run. --second PATH runs that Updater where the unflushed build runs, for
a figure side by side with another build (the one before a change);
--second-win PATH does the same with an Updater.exe under Wine.
Builds build/bench-e2e (POSIX) and build/bench-e2e-win (Windows), each also
-unflushed, for localhost:48450 (UPDATER_BENCH_PORT=N: another). Work files go to bench/out/e2e/ and are removed afterwards
unless --keep (then the generated releases are reused by the next run).
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
os.environ.setdefault("UPDATER_TEST_PORT", os.environ.get("UPDATER_BENCH_PORT", "48450"))  # sandbox.Runner locks it
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, HERE)
import release  # noqa: E402
import local_ca  # noqa: E402
import nginx_server  # noqa: E402
import sandbox  # noqa: E402

PORT = int(os.environ.get("UPDATER_BENCH_PORT", "48450"))  # another port where two benches share a machine
SERVER = "https://localhost:%d/updates/" % PORT
POSIX_BUILD = os.path.join(TOP, "build", "bench-e2e")
WINDOWS_BUILD = os.path.join(TOP, "build", "bench-e2e-win")
# DLLs that every supported Windows installs in System32.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "shlwapi.dll",
                "ole32.dll", "oleaut32.dll", "winhttp.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll",
                "ws2_32.dll", "crypt32.dll", "bcrypt.dll", "uxtheme.dll", "version.dll", "ntdll.dll",
                "secur32.dll", "userenv.dll", "comdlg32.dll", "imm32.dll", "rpcrt4.dll", "shcore.dll"}

# -- set-up (outside the namespace) -------------------------------------------

def build(windows):
    builds = [(POSIX_BUILD, [])]
    if windows:
        builds.append((WINDOWS_BUILD, ["--toolchain", os.path.join(TOP, "cmake", "mingw-w64.cmake")]))
    builds += [(d + "-unflushed", extra + ["-DUPDATER_BENCH_UNFLUSHED=ON"]) for d, extra in builds]
    for directory, extra in builds:
        subprocess.run(["cmake", "-S", TOP, "-B", directory, "-G", "Ninja", *extra, "-DCMAKE_BUILD_TYPE=Release",
                        "-DBUILD_TESTING=OFF", "-DUPDATER_SERVER=localhost:%d" % PORT],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", directory, "--target", "Updater", "-j2"], check=True,
                       stdout=subprocess.DEVNULL)


def prepare_release(work, files, megabytes):
    directory = os.path.join(work, "release-%dmb-%dfiles" % (megabytes, files))
    if not os.path.exists(os.path.join(directory, "manifest.json")):
        shutil.rmtree(directory, ignore_errors=True)
        print("generating a %d MiB, %d-file release and its old installation..." % (megabytes, files), flush=True)
        release.make_release(directory, files, megabytes * 1024 * 1024)
    return directory


def windows_figures():
    exe = os.path.join(WINDOWS_BUILD, "Updater.exe")
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True, stdout=subprocess.PIPE,
                          text=True).stdout
    dlls = [line.split("DLL Name:")[1].strip() for line in dump.splitlines() if "DLL Name:" in line]
    stripped = exe + ".stripped"
    subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped, exe], check=True)
    figures = {"bytes": os.path.getsize(exe), "stripped_bytes": os.path.getsize(stripped), "dlls": dlls,
               "not_windows": [d for d in dlls if d.lower() not in WINDOWS_DLLS]}
    os.remove(stripped)
    return figures


# -- measurements (inside the namespace that trusts the test CA) --------------

class World:
    def __init__(self, work):
        self.work = work
        self.root = os.path.join(work, "world")
        self.install = os.path.join(self.root, "install")
        self.home = os.path.join(self.root, "home")
        self.documents = os.path.join(self.home, "Documents")
        self.data = os.path.join(self.home, "Documents", "Ardentfall Data")
        self.cwd = os.path.join(self.root, "elsewhere")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        self.env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"))

    def reset(self, old_install=None, old_data=None, program="Updater", game="torvane.exe", settle=0):
        """A fresh copy of the old installation (or an up-to-date empty one),
        with the program and the game stand-in, and the old data directory;
        ready `settle` seconds after the last file was deleted."""
        shutil.rmtree(self.root, ignore_errors=True)
        ready = time.monotonic() + settle
        os.makedirs(self.cwd)
        if old_install:
            subprocess.run(["cp", "-a", old_install, self.install], check=True)
        else:
            release.write_file(self.install, "version.txt", release.NEW_VERSION)
        if old_data:
            os.makedirs(os.path.dirname(self.data))
            subprocess.run(["cp", "-a", old_data, self.data], check=True)
        shutil.copy2(os.path.join(self.work, "bin", program), os.path.join(self.install, program.replace("-unflushed", "")))
        shutil.copy2(os.path.join(self.work, "bin", game), os.path.join(self.install, "torvane.exe"))
        subprocess.run(["sync"], check=True)
        time.sleep(max(0, ready - time.monotonic()))

    def run_updater(self, memory=False):
        """Seconds from exec to the game's start and to the updater's exit;
        peak memory in KB with memory=True."""
        stamp = os.path.join(self.install, "launched-at.txt")
        report = os.path.join(self.root, "time.txt")
        argv = [os.path.join(self.install, "Updater")]
        if memory:
            argv = ["/usr/bin/time", "-v", "-o", report] + argv
        start = time.monotonic_ns()
        subprocess.run(argv, cwd=self.cwd, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=1800, check=True)
        ended = time.monotonic_ns()
        with open(stamp) as f:
            launched = int(f.read())
        os.remove(stamp)
        result = {"launch": (launched - start) / 1e9, "exit": (ended - start) / 1e9}
        if memory:
            with open(report) as f:
                result["rss_kb"] = int(next(line.split(":")[1] for line in f if "Maximum resident" in line))
        return result


def timed(argv, **kwargs):
    start = time.monotonic_ns()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, **kwargs)
    return (time.monotonic_ns() - start) / 1e9


def serve(work, release_dir):
    link = os.path.join(work, "serve", "updates")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.join(release_dir, "release", "updates"), link)


def measure_startup(work, world, release_dir, runs):
    serve(work, release_dir)
    world.reset()
    fetched = os.path.join(world.root, "version.txt")
    curl = ["curl", "-sS", "-o", fetched, SERVER + "version.txt"]
    ours, theirs = [], []
    for i in range(runs + 1):  # the first pair warms up and is not counted
        run = world.run_updater()
        fetch = timed(curl)
        if i:
            ours.append(run)
            theirs.append(fetch)
    with open(os.path.join(world.install, "updater.log"), "rb") as f:
        no_update = b"No update needed." in f.read()
    # Peak memory of both, measured apart so that the timed runs carry no wrapper.
    report = os.path.join(world.root, "curl-time.txt")
    timed(["/usr/bin/time", "-v", "-o", report] + curl)
    with open(report) as f:
        curl_rss = int(next(line.split(":")[1] for line in f if "Maximum resident" in line))
    return {"updater": ours, "curl": theirs, "no_update_logged": no_update,
            "updater_rss_kb": world.run_updater(memory=True)["rss_kb"], "curl_rss_kb": curl_rss}


# Over a limited link the update should take the download's time: the
# reference is curl alone fetching the same package.
DOWNLOAD_ONLY = 'curl -sS -o "$1/update.zip" "$3update.zip"'

REFERENCE = """set -e
curl -sS -o "$1/update.zip" "$3update.zip"
unzip -o -q "$1/update.zip" -d "$1/_update_temp"
cp -a "$1/_update_temp/." "$1/"
curl -sS -o "$2/maps.zip" "$3maps.zip"
unzip -o -q "$2/maps.zip" -d "$2"
"""


# ext4 passes over inodes freed in the last 30 s when it makes new files; a
# run started right after a deletion (the reset's, or the run before: the
# updater's moves free the old files) pays that scan on every file it creates,
# so each run starts 31 s after the last deletion.
SETTLE = 31


def measure_update(work, world, release_dir, runs, limited):
    serve(work, release_dir)
    old, data_old = os.path.join(release_dir, "old"), os.path.join(release_dir, "data-old")
    ours, unflushed, theirs, problems = [], [], [], []
    for i in range(runs):
        world.reset(old, data_old, settle=SETTLE)
        ours.append(world.run_updater(memory=True))
        if i == runs - 1:
            problems = release.verify(release_dir, world.install, world.data)
            # Where the time went, line by line.
            shutil.copy(os.path.join(world.install, "updater.log"),
                        os.path.join(work, "updater-%s.log" % os.path.basename(release_dir)))
        if not limited:
            world.reset(old, data_old, "Updater-unflushed", settle=SETTLE)
            unflushed.append(world.run_updater())
        world.reset(old, data_old, settle=SETTLE)
        reference = DOWNLOAD_ONLY if limited else REFERENCE
        theirs.append(timed(["sh", "-c", reference, "reference", world.install, world.data, SERVER]))
    shutil.rmtree(world.root, ignore_errors=True)
    return {"updater": ours, "unflushed": unflushed, "reference": theirs, "problems": problems[:20]}


def inner(config_path):
    with open(config_path) as f:
        config = json.load(f)
    work = config["work"]
    world = World(work)
    results = {}
    if config["startup"]:
        results["startup"] = measure_startup(work, world, config["releases"][0], config["startup_runs"])
    for release_dir in config["update_releases"]:
        results[os.path.basename(release_dir)] = measure_update(work, world, release_dir, config["runs"],
                                                                config["rate_mbit"] > 0)
    print(json.dumps(results))
    return 0


# -- report ----------------------------------------------------------------

def median(values):
    return statistics.median(values)


def report_startup(figures):
    launch = [r["launch"] * 1000 for r in figures["updater"]]
    exits = [r["exit"] * 1000 for r in figures["updater"]]
    curl = [t * 1000 for t in figures["curl"]]
    overhead = median(launch) - median(curl)
    print("\nstart-up, no update due (%d runs each, alternating; 'No update needed.' logged: %s)" %
          (len(launch), "yes" if figures["no_update_logged"] else "NO"))
    print("  updater exec -> game started: median %.1f ms (min %.1f, max %.1f); process exit %.1f ms" %
          (median(launch), min(launch), max(launch), median(exits)))
    print("  curl -o version.txt:          median %.1f ms (min %.1f, max %.1f)" % (median(curl), min(curl), max(curl)))
    print("  ratio %.2f, overhead beyond the fetch %.1f ms (target < 20 ms: %s)" %
          (median(launch) / median(curl), overhead, "met" if overhead < 20 else "NOT met"))
    print("  peak memory: updater %d KB, curl %d KB" % (figures["updater_rss_kb"], figures["curl_rss_kb"]))


def report_update(name, figures, manifest, options):
    rate_mbit = options.rate_mbit
    launch = [r["launch"] for r in figures["updater"]]
    reference = figures["reference"]
    rss = [r["rss_kb"] for r in figures["updater"]]
    ratio = median(launch) / median(reference)
    print("\nfull update, %s: %d files, %.0f MiB content, %.0f MiB package (%d runs each, alternating)" %
          (name, manifest["files"], manifest["bytes"] / 2**20, manifest["package_bytes"] / 2**20, len(launch)))
    print("  updater exec -> game started: median %.2f s (runs: %s)" %
          (median(launch), ", ".join("%.2f" % t for t in launch)))
    print("  %s: median %.2f s (runs: %s)" % ("curl -o update.zip at %d Mbit/s" % rate_mbit if rate_mbit else
                                             "curl -o + unzip -o -q + cp -a",
                                             median(reference), ", ".join("%.2f" % t for t in reference)))
    print("  ratio %.2f" % ratio)
    second = [r["launch"] for r in figures["unflushed"]]
    if second and options.second:
        print("  %s: median %.2f s (runs: %s); ratio to it %.2f" %
              (options.second, median(second), ", ".join("%.2f" % t for t in second), median(launch) / median(second)))
    elif second:
        report_flush_cost(launch, second)
    print("  peak memory of the updater: median %d KB (runs: %s; target < 32 MB: %s)" %
          (median(rss), ", ".join(str(k) for k in rss), "met" if max(rss) < 32 * 1024 else "NOT met"))
    print("  installation after the last run: %s" %
          ("exactly the new release, player files kept" if not figures["problems"] else figures["problems"]))


def report_flush_cost(flushed, unflushed):
    cost = median(flushed) / median(unflushed) - 1
    print("  the same without flushing: median %.2f s (runs: %s); flushing costs %+.1f %% (target <= 10 %%: %s)" %
          (median(unflushed), ", ".join("%.2f" % t for t in unflushed), 100 * cost, "met" if cost <= 0.1 else "NOT met"))


def report_windows(figures):
    print("\nWindows build: Updater.exe %d bytes (%.2f MiB; %.2f MiB stripped)" %
          (figures["bytes"], figures["bytes"] / 2**20, figures["stripped_bytes"] / 2**20))
    print("  imports: %s" % ", ".join(figures["dlls"]))
    print("  DLLs that do not ship with Windows: %s" % (", ".join(figures["not_windows"]) or "none"))


def describe_machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 "unknown CPU")
    load = open("/proc/loadavg").read().split()[:3]
    return "%s cores, %s, load average %s" % (os.cpu_count(), model, " ".join(load))


def main(argv):
    if argv[:1] == ["--inner"]:
        return inner(argv[1])
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--startup-runs", type=int, default=21)
    parser.add_argument("--only", default="startup,update,windows,wine")
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--small-files", type=int, default=1000)
    parser.add_argument("--small-mb", type=int, default=100)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--rate-mbit", type=int, default=0, help="nginx limit_rate for the update figure")
    parser.add_argument("--second", help="another Updater in the unflushed build's place (the build before a change)")
    parser.add_argument("--second-win", help="the same for the Windows build under Wine: another Updater.exe")
    options = parser.parse_args(argv)
    only = set(options.only.split(","))

    print("machine: " + describe_machine(), flush=True)
    build(bool(only & {"windows", "wine"}))
    work = os.path.join(TOP, "bench", "out", "e2e")
    os.makedirs(os.path.join(work, "bin"), exist_ok=True)
    os.makedirs(os.path.join(work, "serve"), exist_ok=True)
    try:
        results = {}
        if only & {"startup", "update"}:
            results = measure_posix(work, options, only)
        if "windows" in only:
            results["windows"] = windows_figures()
            report_windows(results["windows"])
        if "wine" in only:
            results["wine"] = measure_wine(work, options)
        with open(os.path.join(TOP, "bench", "out", "e2e-results.json"), "w") as out:
            json.dump(results, out, indent=1)
        print("\nmachine at the end: " + describe_machine())
        return 0
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)


def measure_posix(work, options, only):
    shutil.copy2(os.path.join(POSIX_BUILD, "Updater"), os.path.join(work, "bin", "Updater"))
    shutil.copy2(options.second or os.path.join(POSIX_BUILD + "-unflushed", "Updater"),
                 os.path.join(work, "bin", "Updater-unflushed"))
    subprocess.run(["g++", "-std=c++20", "-O2", "-o", os.path.join(work, "bin", "torvane.exe"),
                    os.path.join(HERE, "game_stamp.cpp")], check=True)
    small = prepare_release(work, options.small_files, options.small_mb)
    big = prepare_release(work, options.files, options.size_mb) if "update" in only else None
    pki = local_ca.make_pki(os.path.join(work, "pki"))
    config = {"work": work, "runs": options.runs, "startup_runs": options.startup_runs,
              "startup": "startup" in only, "releases": [small], "rate_mbit": options.rate_mbit,
              "update_releases": [small, big] if big else []}
    config_path = os.path.join(work, "config.json")
    with open(config_path, "w") as out:
        json.dump(config, out)
    nginx = nginx_server.start(work, pki, os.path.join(work, "serve"), PORT, rate=str(options.rate_mbit * 125000))
    try:
        command = local_ca.trusted_command([sys.executable, os.path.abspath(__file__), "--inner", config_path],
                                         pki["bundle"])
        output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    finally:
        nginx_server.stop(nginx)
    results = json.loads(output.strip().splitlines()[-1])
    if "startup" in results:
        report_startup(results["startup"])
    for release_dir in config["update_releases"]:
        with open(os.path.join(release_dir, "manifest.json")) as f:
            manifest = json.load(f)
        name = os.path.basename(release_dir)
        report_update(name, results[name], manifest, options)
    return results


def measure_wine(work, options):
    """The full update of the big release by the Windows build under Wine, flushed
    and unflushed alternating: wall time of the Wine process, exec to exit."""
    shutil.copy2(os.path.join(WINDOWS_BUILD, "Updater.exe"), os.path.join(work, "bin", "Updater.exe"))
    shutil.copy2(options.second_win or os.path.join(WINDOWS_BUILD + "-unflushed", "Updater.exe"),
                 os.path.join(work, "bin", "Updater-unflushed.exe"))
    subprocess.run(["x86_64-w64-mingw32-g++", "-municode", "-static", "-O2", "-o",
                    os.path.join(work, "bin", "torvane-win.exe"), os.path.join(TOP, "tests", "stubs", "torvane_stub_win32.cpp")],
                   check=True)
    release_dir = prepare_release(work, options.files, options.size_mb)
    runner = sandbox.Runner(os.path.join(work, "bin", "Updater.exe"), os.path.join(work, "bin", "torvane-win.exe"), wine=True)
    serve(work, release_dir)
    nginx = nginx_server.start(work, runner.pki, os.path.join(work, "serve"), PORT)
    world = World(work)
    world.program_name = "Updater.exe"
    old, data_old = os.path.join(release_dir, "old"), os.path.join(release_dir, "data-old")
    times = {"Updater.exe": [], "Updater-unflushed.exe": []}
    try:
        for i in range(options.runs):
            for program in times:
                world.reset(old, data_old, program, "torvane-win.exe", settle=SETTLE)
                times[program].append(timed(runner.command(world), cwd=world.cwd, env=runner.environment(world, True),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                if i == options.runs - 1 and program == "Updater.exe":
                    problems = release.verify(release_dir, world.install, world.data)
    finally:
        nginx_server.stop(nginx)
        runner.close()
    print("\nfull update, Windows build under Wine, %s (%d runs each, alternating)" %
          (os.path.basename(release_dir), options.runs))
    print("  updater exec -> exit: median %.2f s (runs: %s)" % (median(times["Updater.exe"]),
                                                                 ", ".join("%.2f" % t for t in times["Updater.exe"])))
    second = times["Updater-unflushed.exe"]
    if options.second_win:
        print("  %s: median %.2f s (runs: %s); ratio to it %.2f" % (options.second_win, median(second),
              ", ".join("%.2f" % t for t in second), median(times["Updater.exe"]) / median(second)))
    else:
        report_flush_cost(times["Updater.exe"], second)
    print("  installation after the last run: %s" % (problems[:5] or "exactly the new release, player files kept"))
    return {"updater": times["Updater.exe"], "unflushed": times["Updater-unflushed.exe"], "problems": problems[:20]}


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
