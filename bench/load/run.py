#!/usr/bin/env python3
"""Release day: a few hundred players start the updater within seconds of each
other against one server that is full. One nginx over TLS on loopback (a
per-run test CA that only a private mount namespace trusts; needs root)
serves a small release made by updater-release; it handles at most
--connections requests at a time (limit_conn) and answers the others `503`
with `Retry-After`, and sends each answer at --rate-kb per request
(limit_rate: a player's own line). Each player is its own installation of
the old release (hard-linked to one copy) with its own HOME and data
directory; the game stand-in (bench/e2e/game_stamp.cpp) records when it
was started.

The players are started at random moments spread over --spread seconds;
those that did not update are started again the same way, up to --starts
starts in all. Reported: players updated per start, the server's requests
per second over time from its access log (peak against the steady rate: a
retry storm would show as a peak many times the rate), the wait from each
start to the game's launch, processes that did not end (killed after
--timeout), and every installation compared with the old and the new release
file by file (each must be one of them exactly, beside the updater's own
files).

Usage: bench/load/run.py --build build/bench [--players 200] [--spread 10] [--starts 3]
                         [--files 50] [--mb 2] [--changed 100] [--connections 25]
                         [--rate-kb 256] [--retry-after 5] [--server-nice -10] [--timeout 600] [--keep]
                         [--working-file NAME ...]
The build must be configured for localhost:PORT, PORT being UPDATER_BENCH_PORT
(default 48450), e.g.
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \\
        -DUPDATER_SERVER=localhost:48450 && cmake --build build/bench --target Updater updater-release
"""

import argparse
import collections
import hashlib
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(TOP, "scripts"), os.path.join(TOP, "bench", "e2e")]
import local_ca  # noqa: E402
import nginx_server  # noqa: E402
import release  # noqa: E402

PORT = int(os.environ.get("UPDATER_BENCH_PORT", "48450"))
NEW_VERSION, OLD_VERSION = "1.1.0", "1.0.0"
SAFELIST = b"*.ini\n"
PLAYER_FILE = ("options.ini", b"[video]\r\nwidth=1920\r\n")  # the player's own, kept by the safelist
# What the updater and the bench keep in an installation beside the game's files.
OWN_FILES = {"Updater", "torvane.exe", "version.txt", "updater.log", "updater.log.ts", "launched-at.txt"}
# Working names an interrupted start may leave for the next one (README, "The updater's working names").
WORKING = {"update.zip", "update.zip.part", "update.zip.resume.part", "_update_temp", "__remote_version.txt",
           "__remote_version.txt.part", "__maps_pending", "Updater.old"}

# -- the release and the players' installations (outside the namespace) -------


def digest_tree(root):
    """{relative path: (size, sha-256)} of the files below root."""
    tree = {}
    for here, _, names in os.walk(root):
        for name in names:
            path = os.path.join(here, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, root)] = hashlib.sha256(f.read()).hexdigest()
    return tree


def make_release(work, options):
    """The new game and its release, the old installation (the share of files
    --changed with other bytes, two retired files), the old and new maps."""
    game, maps, old = (os.path.join(work, d) for d in ("game", "maps", "old"))
    names = release.write_game(game, options.files, options.mb << 20)
    release.write_file(game, "safelist.txt", SAFELIST)
    rng = random.Random(30)
    for index in range(5):
        release.write_file(maps, "Maps/map%d.map" % index, rng.randbytes(20000))
    release.publish(os.path.join(work, "bin", "updater-release"), game, maps, os.path.join(work, "release"),
                    NEW_VERSION)
    shutil.copytree(game, old)
    for rel in rng.sample(names, len(names) * options.changed // 100):
        path = os.path.join(old, rel)
        data = bytearray(open(path, "rb").read())
        data[len(data) // 2] ^= 0xFF
        open(path, "wb").write(data)
    for index in range(2):
        release.write_file(old, "Data/Retired/old%d.pak" % index, rng.randbytes(30000))
    release.write_file(old, *PLAYER_FILE)
    data_old = os.path.join(work, "data-old")
    for index in range(5):
        release.write_file(data_old, "Maps/map%d.map" % index, b"last release's map")
    release.write_file(data_old, "Replays/match.rep", rng.randbytes(5000))
    new = dict(digest_tree(game), **{PLAYER_FILE[0]: hashlib.sha256(PLAYER_FILE[1]).hexdigest()})
    data_new = dict(digest_tree(maps), **{k: v for k, v in digest_tree(data_old).items() if k.startswith("Replays")})
    json.dump({"old": digest_tree(old), "new": new, "data_old": digest_tree(data_old), "data_new": data_new},
              open(os.path.join(work, "trees.json"), "w"))


def make_players(work, count):
    version = ("game-version: %s\r\nupdater-version: 1.0.0\r\n" % OLD_VERSION).encode()
    players = []
    for index in range(count):
        root = os.path.join(work, "players", "%03d" % index)
        install, home = os.path.join(root, "install"), os.path.join(root, "home")
        # Hard links: the updater replaces files, never writes into them; if
        # it did, the comparison with the digests taken before would show it.
        os.makedirs(root)
        subprocess.run(["cp", "-al", os.path.join(work, "old"), install], check=True)
        release.write_file(install, "version.txt", version)
        for name in ("Updater", "torvane.exe"):
            shutil.copy2(os.path.join(work, "bin", name), install)
        shutil.copytree(os.path.join(work, "data-old"), os.path.join(home, "Documents", "Ardentfall Data"))
        players.append({"root": root, "install": install, "home": home})
    return players


# -- the starts (inside the namespace that trusts the test CA) ---------------


def read_new(path, offset):
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def updated(player):
    try:
        return ("game-version: " + NEW_VERSION) in open(os.path.join(player["install"], "version.txt")).read()
    except OSError:
        return False


def one_start(players, spread, timeout, seed):
    """Starts each player at a random moment within `spread` seconds; waits
    for all (killing those still running after `timeout`); per player the
    start, the game's launch and the exit (monotonic seconds), the exit
    status and the log lines this start wrote."""
    rng = random.Random(seed)
    begin = time.monotonic() + 0.5
    plan = sorted((begin + rng.uniform(0, spread), index) for index in range(len(players)))
    running, results = {}, {}
    for at, index in plan:
        time.sleep(max(0, at - time.monotonic()))
        player = players[index]
        log = os.path.join(player["install"], "updater.log")
        offset = os.path.getsize(log) if os.path.exists(log) else 0
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env.update(HOME=player["home"], XDG_CONFIG_HOME=os.path.join(player["home"], ".config"))
        started = time.monotonic()
        process = subprocess.Popen([os.path.join(player["install"], "Updater")], cwd=player["root"], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        running[index] = process
        results[index] = {"player": index, "started": started, "log_offset": offset}
    deadline = time.monotonic() + timeout
    while running and time.monotonic() < deadline:
        for index, process in list(running.items()):
            if process.poll() is not None:
                results[index].update(exited=time.monotonic(), status=process.returncode)
                del running[index]
        time.sleep(0.02)
    for index, process in running.items():  # hung: the report names them
        process.kill()
        process.wait()
        results[index].update(exited=None, status="killed after %d s" % timeout)
    for index, result in results.items():
        player = players[index]
        stamp = os.path.join(player["install"], "launched-at.txt")
        if os.path.exists(stamp):
            result["launched"] = int(open(stamp).read()) / 1e9
            os.remove(stamp)
        result["updated"] = updated(player)
        result["log"] = read_new(os.path.join(player["install"], "updater.log"), result.pop("log_offset"))
    return [results[i] for i in sorted(results)]


def inner(config_path):
    config = json.load(open(config_path))
    players, starts = config["players"], []
    waiting = list(range(len(players)))
    for number in range(config["starts"]):
        if not waiting:
            break
        results = one_start([players[i] for i in waiting], config["spread"], config["timeout"], number)
        for result in results:
            result["player"] = waiting[result["player"]]
        starts.append(results)
        waiting = [r["player"] for r in results if not r["updated"]]
        if number + 1 < config["starts"] and waiting:
            time.sleep(config["pause"])
    print(json.dumps(starts))
    return 0


# -- the report ----------------------------------------------------------------

def log_shape(line):
    """A log line without its time stamp and numbers, to count kinds of lines."""
    return re.sub(r"\d+", "N", re.sub(r"^\[[^]]*\] ", "", line)).strip()


def check_installation(player, trees, working):
    """'old', 'new', or what is wrong; and the working files left."""
    install = player["install"]
    present, left = {}, []
    for here, dirs, names in os.walk(install):
        rel_here = os.path.relpath(here, install)
        for name in list(dirs):
            if rel_here == "." and name in working:
                left.append(name + "/")
                dirs.remove(name)
        for name in names:
            rel = os.path.normpath(os.path.join(rel_here, name))
            if rel in OWN_FILES:
                continue
            if rel in working or name.endswith((".resume.part", ".updater.part")):
                left.append(rel)
                continue
            with open(os.path.join(here, name), "rb") as f:
                present[rel] = hashlib.sha256(f.read()).hexdigest()
    version = open(os.path.join(install, "version.txt")).read() if os.path.exists(
        os.path.join(install, "version.txt")) else ""
    for kind, recorded in (("old", OLD_VERSION), ("new", NEW_VERSION)):
        if present == trees[kind]:
            if ("game-version: " + recorded) not in version:
                return "%s tree but version.txt says %r" % (kind, version[:40]), left
            return kind, left
    old_diff = sorted(set(present.items()) ^ set(trees["old"].items()))
    new_diff = sorted(set(present.items()) ^ set(trees["new"].items()))
    closest = min((old_diff, "old"), (new_diff, "new"), key=lambda pair: len(pair[0]))
    return "neither: %d paths differ from the %s release, e.g. %s" % (
        len({p for p, _ in closest[0]}), closest[1], sorted({p for p, _ in closest[0]})[:3]), left


def requests_per_second(log_path, t0_epoch):
    """Per second since t0 (the first start): requests that began, by status;
    requests by file and status; the connections they came over."""
    buckets = collections.defaultdict(collections.Counter)
    kinds, connections = collections.Counter(), collections.defaultdict(list)
    for line in open(log_path):
        fields = line.split()
        if len(fields) < 6:
            continue
        uri, status, ended, took = fields[0], fields[1], float(fields[3]), float(fields[4])
        buckets[int(ended - took - t0_epoch)][status] += 1
        kinds[(os.path.basename(uri), status)] += 1
        connections[fields[5]].append(status)
    return buckets, kinds, connections


def retry_waits(starts):
    """The waits the players logged before their retries, in seconds."""
    return [float(wait) for results in starts for r in results
            for wait in re.findall(r"; attempt \d+ in ([\d.]+) s", r["log"])]


def report(work, config, starts, trees, options, t0_epoch, machine_before):
    print("\nmachine before: %s\nmachine after:  %s" % (machine_before, describe_machine()))
    manifest = os.path.join(work, "release", "updates", "update.zip")
    print("release: %d files, %.1f MiB, update.zip %d bytes, %d %% of the files changed; %d players, "
          "%d connections at most, %d KB/s per request, Retry-After %d" %
          (options.files, options.mb, os.path.getsize(manifest), options.changed, options.players,
           options.connections, options.rate_kb, options.retry_after))
    figures = {"starts": []}
    for number, results in enumerate(starts, 1):
        ups = sum(r["updated"] for r in results)
        waits = [r["launched"] - r["started"] for r in results if "launched" in r]
        no_game = [r["player"] for r in results if "launched" not in r]
        hung = [r["player"] for r in results if r.get("exited") is None]
        lasted = [r["exited"] - r["started"] for r in results if r.get("exited")]
        print("\nstart %d: %d players started, %d updated, %d did not" % (number, len(results), ups, len(results) - ups))
        if waits:
            waits.sort()
            print("  wait from start to the game's launch: median %.1f s, 90th percentile %.1f s, longest %.1f s"
                  % (statistics.median(waits), waits[int(0.9 * (len(waits) - 1))], waits[-1]))
            print("  the updater's whole run: longest %.1f s" % max(lasted) if lasted else "")
        print("  game not started: %s; processes killed after %d s: %s" % (no_game or "none", options.timeout,
                                                                           hung or "none"))
        shapes = collections.Counter()
        for r in results:
            for shape in {log_shape(line) for line in r["log"].splitlines()}:
                if re.search(r"retry|503|fail|giving up|skipped|cannot|refused|whole package", shape, re.I):
                    shapes[shape] += 1
        for shape, count in shapes.most_common(12):
            print("  %4d players logged: %s" % (count, shape[:150]))
        figures["starts"].append({"players": len(results), "updated": ups, "waits": waits, "no_game": no_game,
                                  "hung": hung, "log_shapes": shapes.most_common(20)})

    buckets, kinds, connections = requests_per_second(nginx_server.access_log_path(work), t0_epoch)
    seconds = range(min(buckets), max(buckets) + 1) if buckets else []
    totals = [sum(buckets[s].values()) for s in seconds]
    busy = [t for t in totals if t]
    print("\nrequests by file and status: %s" % ", ".join("%s %s: %d" % (f, s, n) for (f, s), n in sorted(kinds.items())))
    requests = sum(kinds.values())
    print("%d requests over %d connections: %.1f requests and %.1f connections per player" %
          (requests, len(connections), requests / options.players, len(connections) / options.players))
    # A retry over the same connection costs the server no new TLS handshake.
    refused = sum(statuses.count("503") for statuses in connections.values())
    kept = sum(1 for statuses in connections.values() for i, status in enumerate(statuses[:-1]) if status == "503")
    print("503 answers: %d; followed by another request on the same connection: %d" % (refused, kept))
    waits = retry_waits(starts)
    if waits:
        exact = sum(abs(w - options.retry_after) < 0.05 for w in waits)
        print("retry waits logged: %d, %d of them exactly the Retry-After (%d s), shortest %.1f s, longest %.1f s" %
              (len(waits), exact, options.retry_after, min(waits), max(waits)))
    if busy:
        steady = statistics.median(busy)
        windows = [sum(totals[i:i + 5]) / 5 for i in range(max(1, len(totals) - 4))]
        print("requests per second, %d s from the first to the last: mean %.1f; in the %d seconds with requests "
              "median %.0f, peak %d (%.1fx the median)" % (len(totals), sum(totals) / len(totals), len(busy), steady,
                                                          max(busy), max(busy) / steady))
        print("busiest 5 s: %.1f requests per second, %.1fx the mean" % (max(windows), max(windows) * len(totals) /
                                                                       sum(totals)))
        print("per second since the first start (all / 503):")
        row = []
        for s in seconds:
            row.append("%3d:%d/%d" % (s, sum(buckets[s].values()), buckets[s]["503"]))
        for i in range(0, len(row), 10):
            print("  " + "  ".join(row[i:i + 10]))
        figures.update(rate_median=steady, rate_peak=max(busy), rate_mean=sum(totals) / len(totals),
                       busiest_5s=max(windows), connections=len(connections), retry_waits=waits,
                       per_second=[[s, dict(buckets[s])] for s in seconds])
    outcome, left, maps = collections.Counter(), collections.Counter(), collections.Counter()
    for player in config["players"]:
        kind, leftovers = check_installation(player, trees, set(WORKING) | set(options.working_file))
        outcome[kind if kind in ("old", "new") else "wrong"] += 1
        if kind not in ("old", "new"):
            print("  installation %s: %s" % (player["root"], kind))
        for name in leftovers:
            left[name] += 1
        data = digest_tree(os.path.join(player["home"], "Documents", "Ardentfall Data"))
        maps[{json.dumps(trees["data_new"], sort_keys=True): "new", json.dumps(trees["data_old"], sort_keys=True): "old"}
             .get(json.dumps(data, sort_keys=True), "neither")] += 1
    print("\ninstallations: %d exactly the new release, %d exactly the old release, %d neither"
          % (outcome["new"], outcome["old"], outcome["wrong"]))
    print("data directories: %d with the new maps, %d with the old ones, %d neither (replays kept in each of the first two)"
          % (maps["new"], maps["old"], maps["neither"]))
    print("working files left: %s" % (", ".join("%s in %d" % kv for kv in sorted(left.items())) or "none"))
    figures.update(installations=dict(outcome), data=dict(maps), left=dict(left), kinds=["%s %s %d" % (f, s, n) for (f, s), n in
                                                                         sorted(kinds.items())])
    json.dump(figures, open(os.path.join(TOP, "bench", "out", "load-results.json"), "w"), indent=1)
    return 0 if outcome["wrong"] == 0 and maps["neither"] == 0 else 1


def describe_machine():
    return "%d cores, load average %s" % (os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3]))


def check_build(build):
    cache = open(os.path.join(build, "CMakeCache.txt")).read()
    wanted = "UPDATER_SERVER:STRING=localhost:%d" % PORT
    if wanted not in cache:
        raise SystemExit("%s is not configured for localhost:%d (UPDATER_BENCH_PORT); see --help" % (build, PORT))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--players", type=int, default=200)
    parser.add_argument("--spread", type=float, default=10, help="seconds over which the players start")
    parser.add_argument("--starts", type=int, default=3, help="starts in all; later ones only for those not updated")
    parser.add_argument("--pause", type=float, default=5, help="seconds between starts")
    parser.add_argument("--files", type=int, default=50)
    parser.add_argument("--mb", type=int, default=2)
    parser.add_argument("--changed", type=int, default=100, help="per cent of the files the old release has otherwise")
    parser.add_argument("--connections", type=int, default=25, help="requests nginx serves at once")
    parser.add_argument("--rate-kb", type=int, default=256, help="limit_rate per request, KB/s")
    parser.add_argument("--retry-after", type=int, default=5)
    parser.add_argument("--server-nice", type=int, default=-10, help="nginx's nice value (0: as started)")
    parser.add_argument("--timeout", type=int, default=600, help="a start's processes are killed after this")
    parser.add_argument("--working-file", action="append", default=[],
                        help="another working file of the updater in the installation (not compared)")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--inner")
    options = parser.parse_args(argv)
    if options.inner:
        return inner(options.inner)
    check_build(options.build)
    machine_before = describe_machine()
    work = os.path.join(TOP, "bench", "out", "load")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "bin"))
    for name in ("Updater", "updater-release"):
        shutil.copy2(os.path.join(options.build, name), os.path.join(work, "bin", name))
    subprocess.run(["g++", "-std=c++20", "-O2", "-o", os.path.join(work, "bin", "torvane.exe"),
                    os.path.join(TOP, "bench", "e2e", "game_stamp.cpp")], check=True)
    print("making the release and %d installations..." % options.players, flush=True)
    make_release(work, options)
    config = {"players": make_players(work, options.players), "spread": options.spread, "starts": options.starts,
              "timeout": options.timeout, "pause": options.pause}
    config_path = os.path.join(work, "config.json")
    json.dump(config, open(config_path, "w"))
    pki = local_ca.make_pki(os.path.join(work, "pki"))
    # Retry-After goes on the 503 answers only (add_header skips an empty value).
    limits = ("limit_conn_zone $server_name zone=players:1m;\n  limit_conn_status 503;\n"
              "  map $status $retry_after { 503 %d; default \"\"; }" % options.retry_after)
    busy = "limit_conn players %d;\n    add_header Retry-After $retry_after always;" % options.connections
    nginx = nginx_server.start(work, pki, os.path.join(work, "release"), PORT, rate="%dk" % options.rate_kb,
                               access_log=True, connections=4 * options.players + 64, http_extra=limits,
                               server_extra=busy)
    if options.server_nice:
        # nginx stands for a machine of its own: the players and other work
        # on this one must not starve it of the CPU its TLS needs.
        os.setpriority(os.PRIO_PROCESS, nginx.pid, options.server_nice)
    try:
        subprocess.run(["sync"], check=True)
        t0_epoch = time.time()
        command = local_ca.trusted_command([sys.executable, os.path.abspath(__file__), "--build", options.build,
                                            "--inner", config_path], pki["bundle"])
        output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    finally:
        nginx_server.stop(nginx)
    starts = json.loads(output.strip().splitlines()[-1])
    trees = json.load(open(os.path.join(work, "trees.json")))
    try:
        return report(work, config, starts, trees, options, t0_epoch, machine_before)
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
