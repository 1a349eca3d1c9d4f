"""What the end-to-end scripts share: a scratch world (install directory,
Documents, a release served by server.py on the port the program was built
for) in which the sandbox runs the built updater, and the runner of checks."""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "scripts")]
import server  # noqa: E402
from sandbox import SERVER_PORT, Runner, make_zip, read_tree, write_tree  # noqa: E402,F401
LEFTOVERS = ("__remote_version.txt", "update.zip", "_update_temp", "update.zip.part", "update.zip.resume.part",
             "__remote_version.txt.part", "version.txt.tmp", "__maps_pending", "__installed_files.index.tmp")
INDEX = "__installed_files.index"  # the index of the installed files: file ids and times differ from run to run


def snapshot(root, skip):
    """Every path below root (but those in skip) with its link target or content digest."""
    found = {}
    for here, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(here, d) not in skip]
        for path in (os.path.join(here, name) for name in dirs + files):
            found[path] = (os.readlink(path) if os.path.islink(path) else "dir" if os.path.isdir(path)
                           else hashlib.sha256(open(path, "rb").read()).hexdigest())
    return found


class World:
    """One scenario's scratch world; a run fails when anything beside the
    install and data directories changed."""

    def __init__(self, runner, name, install_name="install"):
        self.runner, self.output = runner, ""
        self.program_name = runner.program_name  # the installed updater's file name
        self.root = tempfile.mkdtemp(prefix="e2e-%s-" % name, dir=runner.scratch)
        self.install, self.home = os.path.join(self.root, install_name), os.path.join(self.root, "home")
        self.log = os.path.join(self.install, "updater.log")
        self.documents = os.path.join(self.home, "Documents")
        self.data, self.cwd = os.path.join(self.documents, "Ardentfall Data"), os.path.join(self.root, "elsewhere")
        self.work = os.path.join(self.root, "server")
        self.updates = os.path.join(self.work, "release", "updates")
        for d in (self.install, self.documents, self.cwd, self.updates):
            os.makedirs(d)
        write_tree(self.root, {"sibling/keep.txt": b"next to the game", "sibling/sub/deeper.bin": b"\0\1"})
        for name in (runner.program, runner.stub):
            shutil.copy2(name, os.path.join(self.install, runner.program_name if name == runner.program else "torvane.exe"))
        self.behave({})
        self.server = None
        # Wine's desktop integration writes menus and MIME data below HOME.
        self.skip = {self.install, self.data, self.work, os.path.join(self.home, ".local"),
                     os.path.join(self.home, ".config")}

    def release(self, version=None, update=None, maps=None):
        """Serves version.txt and the packages ({name: bytes, or None for a directory entry}) given."""
        if version is not None:
            write_tree(self.updates, {"version.txt": version})
        for name, entries in (("update.zip", update), ("maps.zip", maps)):
            if entries is not None:
                make_zip(os.path.join(self.updates, name), entries)

    def behave(self, behaviours):
        """Server behaviours per path (see server.py), from the next request on."""
        with open(os.path.join(self.work, "b.tmp"), "w") as out:
            json.dump(behaviours, out)
        os.replace(os.path.join(self.work, "b.tmp"), os.path.join(self.work, "behaviours.json"))

    def start_server(self):
        """Serves the release; while something else holds the port, waits for it."""
        for _ in range(120):
            self.server, _ = server.launch(os.path.dirname(self.updates), os.path.join(self.work, "ready"),
                                           self.runner.pki["localhost_cert"], self.runner.pki["localhost_key"],
                                           SERVER_PORT, os.path.join(self.work, "behaviours.json"),
                                           os.path.join(self.work, "requests.jsonl"))
            if self.server:
                return
            time.sleep(1)
        raise RuntimeError("the test server could not listen on port %d" % SERVER_PORT)

    def requests(self, port=None):
        """The paths asked for, of every server or of the one on `port`."""
        log = os.path.join(self.work, "requests.jsonl")
        events = list(map(json.loads, open(log))) if os.path.exists(log) else []
        return [e["path"] for e in events if e["event"] == "request" and port in (None, e["port"])]

    def start_first_server(self, behaviours):
        """For the program built for two servers: the server it asks first, on
        the port after SERVER_PORT, serving the same release with behaviours
        of its own."""
        path = os.path.join(self.work, "first-behaviours.json")
        with open(path, "w") as out:
            json.dump(behaviours, out)
        process, _ = server.launch(os.path.dirname(self.updates), os.path.join(self.work, "first-ready"),
                                   self.runner.pki["localhost_cert"], self.runner.pki["localhost_key"],
                                   SERVER_PORT + 1, path, os.path.join(self.work, "requests.jsonl"))
        if not process:
            raise RuntimeError("the test server could not listen on port %d" % (SERVER_PORT + 1))
        return process

    def run(self, serve=True, documents=True):
        before = snapshot(self.root, self.skip)
        if serve:
            self.start_server()
        try:
            result = subprocess.run(self.runner.command(self), cwd=self.cwd, env=self.runner.environment(self, documents),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    timeout=180)
        finally:
            if serve:
                server.stop(self.server)
        self.output = result.stdout.decode("utf-8", "replace")
        after = snapshot(self.root, self.skip)
        changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
        if changed:
            raise AssertionError("changed beside the install and data directories: %r" % changed)
        return result.returncode

    def forget_log(self):
        """The next run's log starts empty, so its lines are its own."""
        if os.path.exists(self.log):
            os.remove(self.log)

    def log_messages(self):
        """The log's messages; every line must be stamped and end in CR LF."""
        raw = open(self.log, "rb").read().decode("latin-1") if os.path.exists(self.log) else ""
        lines = raw.split("\r\n")
        assert lines[-1] == "" and all(line[0] == "[" and line[20:22] == "] " for line in lines[:-1]), repr(raw)
        return [line[22:] for line in lines[:-1]]

    def path_text(self, *parts):
        """A path as the program logs it."""
        path = os.path.join(*parts)
        return "Z:" + path.replace("/", "\\") if self.runner.wine else path

    def data_text(self):
        """The data directory as the program logs it."""
        if self.runner.wine:
            user = os.path.basename(os.path.dirname(self.runner.wine_documents()))
            return "C:\\users\\%s\\Documents\\Ardentfall Data" % user
        return self.data

    def launch_record(self):
        path = os.path.join(self.install, "launched.txt")
        return open(path, encoding="utf-8").read() if os.path.exists(path) else None

    def install_tree(self):
        return read_tree(self.install, ("updater.log", "updater.log.ts", "launched.txt", self.program_name,
                                        "torvane.exe", INDEX))

    def leftovers(self):
        found = [n for n in LEFTOVERS if os.path.exists(os.path.join(self.install, n))]
        return found + [n for n in ("__maps.zip", "__maps.zip.part", "__maps.zip.resume.part") if os.path.exists(os.path.join(self.data, n))]


def parse_arguments(argv, doc, extra=None):
    """The options of every end-to-end script; extra(parser) adds a script's own."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--only", help="NAME[,NAME...]: run only these")
    parser.add_argument("--keep", action="store_true", help="leave the scratch folders")
    parser.add_argument("--artifacts", default=os.path.join(os.getcwd(), "e2e-artifacts"))
    if extra:
        extra(parser)
    return parser.parse_args(argv)


def run_all(checks, runner):
    """Runs each (name, function(runner)), reporting failures and going on;
    prints "N passed, N failed" and returns the exit status."""
    passed = failed = 0
    try:
        for name, check in checks:
            started = time.monotonic()
            try:
                check(runner)
                passed += 1
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Exception:  # reported; the others still run
                failed += 1
                print("FAIL", name, flush=True)
                traceback.print_exc()
    finally:
        runner.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0
