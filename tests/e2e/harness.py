"""Shared pieces of the end-to-end scenarios: a scratch world (install
directory, Documents, release folder served over HTTPS by server.py on the
port the program was built for), running the built updater in it natively or
under Wine, and reading back what it did."""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testca  # noqa: E402

# The port the program under test was built for (UPDATER_SERVER).
SERVER_PORT = int(os.environ.get("UPDATER_TEST_PORT") or "48443")
LEFTOVERS = ("__remote_version.txt", "update.zip", "_update_temp", "update.zip.part", "update.zip.resume.part",
             "__remote_version.txt.part", "version.txt.tmp", "__maps_pending")


def make_zip(path, entries, utf8=True):
    """entries: {name: bytes or None (a directory entry)}"""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            if data is None:
                archive.writestr(zipfile.ZipInfo(name.rstrip("/") + "/"), b"")
            else:
                archive.writestr(name, data)


def write_tree(root, files):
    """files: {relative path with '/': bytes, or None for an empty directory}"""
    for rel, data in files.items():
        path = os.path.join(root, *rel.split("/"))
        if data is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)


def read_tree(root, skip=()):
    """{relative path: bytes} for files and {relative path: None} for directories."""
    tree = {}
    for here, dirs, files in os.walk(root):
        rel_here = os.path.relpath(here, root)
        for name in dirs:
            rel = name if rel_here == "." else rel_here + "/" + name
            if rel.split("/")[0] not in skip:
                tree[rel] = None
        for name in files:
            rel = name if rel_here == "." else rel_here + "/" + name
            if rel.split("/")[0] in skip:
                continue
            with open(os.path.join(here, name), "rb") as f:
                tree[rel] = f.read()
    return tree


class Server:
    """server.py on the fixed port, serving a release folder."""

    def __init__(self, work, pki):
        self.work = work
        self.release = os.path.join(work, "release")
        self.updates = os.path.join(self.release, "updates")
        os.makedirs(self.updates, exist_ok=True)
        self.behaviours = os.path.join(work, "behaviours.json")
        self.log = os.path.join(work, "requests.jsonl")
        self.pki = pki
        self.process = None
        self.set_behaviours({})

    def set_behaviours(self, behaviours):
        tmp = self.behaviours + ".tmp"
        with open(tmp, "w") as out:
            json.dump(behaviours, out)
        os.replace(tmp, self.behaviours)

    def start(self, attempts=120):
        """Starts the server; while another run holds the port, waits for it."""
        for _ in range(attempts):
            if self._try_start():
                return
            time.sleep(1)
        raise RuntimeError("the test server could not listen on port %d" % SERVER_PORT)

    def _try_start(self):
        ready = os.path.join(self.work, "ready.json")
        if os.path.exists(ready):
            os.remove(ready)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "server.py"), "--root", self.release,
             "--cert", self.pki["localhost_cert"], "--key", self.pki["localhost_key"], "--port", str(SERVER_PORT),
             "--behaviours", self.behaviours, "--log", self.log, "--ready", ready],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(ready):
                return True
            if self.process.poll() is not None:
                self.process = None
                return False
            time.sleep(0.05)
        raise RuntimeError("the test server did not get ready")

    def stop(self):
        if self.process:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
            self.process = None

    def requests(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            events = [json.loads(line) for line in f if line.strip()]
        return [e for e in events if e.get("event") == "request"]


class World:
    """One scenario's scratch world."""

    def __init__(self, runner, name, install_name="install"):
        self.runner = runner
        self.name = name
        self.output = ""
        self.elapsed = None
        self.root = tempfile.mkdtemp(prefix="e2e-%s-" % name, dir=runner.scratch)
        self.install = os.path.join(self.root, install_name)
        self.home = os.path.join(self.root, "home")
        self.documents = os.path.join(self.home, "Documents")
        self.cwd = os.path.join(self.root, "elsewhere")
        for d in (self.install, self.documents, self.cwd):
            os.makedirs(d, exist_ok=True)
        self.data = os.path.join(self.documents, "Ardentfall Data")
        self.server = Server(os.path.join(self.root, "server"), runner.pki)
        runner.install_program(self.install)

    # -- what the program sees -------------------------------------------------
    def release(self, version=None, update=None, maps=None):
        if version is not None:
            with open(os.path.join(self.server.updates, "version.txt"), "wb") as out:
                out.write(version)
        if update is not None:
            make_zip(os.path.join(self.server.updates, "update.zip"), update)
        if maps is not None:
            make_zip(os.path.join(self.server.updates, "maps.zip"), maps)

    def run(self, server=True, timeout=180, documents=True):
        if server:
            self.server.start()
        try:
            return self.runner.run_program(self, documents=documents, timeout=timeout)
        finally:
            self.server.stop()

    # -- what it did -----------------------------------------------------------
    def log_messages(self):
        path = os.path.join(self.install, "updater.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            raw = f.read().decode("latin-1")
        assert raw == "" or raw.endswith("\r\n"), "log lines end in CR LF"
        lines = raw.split("\r\n")[:-1]
        for line in lines:
            assert line[0] == "[" and line[20:22] == "] ", "stamped line: %r" % line
        return [line[22:] for line in lines]

    def path_text(self, *parts):
        """A path under the scratch world as the program writes it in the log."""
        return self.runner.path_text(os.path.join(*parts))

    def data_text(self, *parts):
        """The data directory (or a path below it) as the program logs it."""
        if self.runner.wine:
            user = os.path.basename(os.path.dirname(self.runner.wine_documents()))
            return "\\".join(["C:\\users", user, "Documents", "Ardentfall Data", *parts])
        return os.path.join(self.data, *parts)

    def launch_record(self):
        path = os.path.join(self.install, "launched.txt")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()

    def install_tree(self):
        return read_tree(self.install, skip=("updater.log", "updater.log.ts", "launched.txt",
                                             self.runner.program_name, "torvane.exe"))

    def leftovers(self):
        found = [n for n in LEFTOVERS if os.path.exists(os.path.join(self.install, n))]
        found += [n for n in ("__maps.zip", "__maps.zip.part", "__maps.zip.resume.part")
                  if os.path.exists(os.path.join(self.data, n))]
        return found


def start_xvfb():
    """A private X server; returns (DISPLAY, process)."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                               pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return ":" + number.decode().strip(), process


class Runner:
    """Runs the built program natively (POSIX build) or under Wine."""

    def __init__(self, program, stub, wine=False, keep=False):
        self.program = os.path.abspath(program)
        self.program_name = os.path.basename(program)
        self.stub = os.path.abspath(stub)
        self.wine = wine
        self.keep = keep
        self.scratch = tempfile.mkdtemp(prefix="updater-e2e-")
        self.pki = testca.make_test_pki(os.path.join(self.scratch, "pki"))
        self.prefix = None
        self.display = (os.environ.get("DISPLAY", ""), None)
        if wine:
            self.prefix = os.path.join(self.scratch, "wineprefix")
            template = os.environ.get("WINEPREFIX")
            if not template or not os.path.exists(os.path.join(template, "system.reg")):
                raise RuntimeError("WINEPREFIX must name a ready Wine prefix (scripts/wine-env.sh)")
            subprocess.run(["cp", "-a", template, self.prefix], check=True)
            self.display = start_xvfb()
            # Without a window manager, Wine waits for one on every hide or
            # destroy unless it manages its windows itself.
            for value in ("Managed", "Decorated"):
                subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", value, "/d", "N",
                                "/f"], env=self.wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.wine_env())

    def close(self):
        if self.wine:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), stderr=subprocess.DEVNULL)
            self.display[1].terminate()
        if not self.keep:
            shutil.rmtree(self.scratch, ignore_errors=True)

    def install_program(self, install):
        shutil.copy2(self.program, os.path.join(install, self.program_name))
        shutil.copy2(self.stub, os.path.join(install, "torvane.exe"))

    def path_text(self, path):
        if self.wine:
            return "Z:" + path.replace("/", "\\")
        return path

    def wine_env(self, home=None):
        env = dict(os.environ, WINEPREFIX=self.prefix or "", WINEDEBUG="-all", DISPLAY=self.display[0])
        if home:
            env["HOME"] = home
        return env

    def wine_documents(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        user = [u for u in os.listdir(users) if u != "Public"][0]
        return os.path.join(users, user, "Documents")

    def point_documents(self, world, documents):
        """Wine: the prefix's Documents becomes the world's own folder (or a
        dangling link, so that no Documents folder can be found)."""
        link = self.wine_documents()
        if os.path.islink(link) or os.path.isfile(link):
            os.remove(link)
        elif os.path.isdir(link):
            shutil.rmtree(link)
        os.symlink(world.documents if documents else os.path.join(world.root, "no-documents"), link)

    def command(self, world):
        program = os.path.join(world.install, self.program_name)
        return ["wine", program] if self.wine else [program]

    def environment(self, world, documents):
        if self.wine:
            self.point_documents(world, documents)
            return self.wine_env(home=world.home)
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env["XDG_CONFIG_HOME"] = os.path.join(world.home, ".config")
        if documents:
            env["HOME"] = world.home
        else:
            env.pop("HOME", None)
        return env

    def start_program(self, world, documents=True):
        argv = testca.trusted_command(self.command(world), self.pki["bundle"], wine=self.wine)
        return subprocess.Popen(argv, cwd=world.cwd, env=self.environment(world, documents),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def x(self, *argv):
        """Runs an X client (xdotool, import) on the private display."""
        return subprocess.run(list(argv), env=dict(os.environ, DISPLAY=self.display[0]),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode().split()

    def wait_for_window(self, title, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.x("xdotool", "search", "--name", "^%s$" % title)
            if found:
                return found[0]
            time.sleep(0.2)
        raise AssertionError("no window titled %r appeared" % title)

    def run_program(self, world, documents=True, timeout=180):
        argv = testca.trusted_command(self.command(world), self.pki["bundle"], wine=self.wine)
        started = time.monotonic()
        result = subprocess.run(argv, cwd=world.cwd, env=self.environment(world, documents),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout)
        world.elapsed = time.monotonic() - started
        world.output = result.stdout.decode("utf-8", "replace")
        return result.returncode


def parse_arguments(argv, doc, extra=None):
    """The options every end-to-end script takes (ctest passes --program,
    --stub, --artifacts and, for the Windows build, --wine); extra(parser) adds a
    script's own."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--only", help="NAME[,NAME...]: run only these scenarios")
    parser.add_argument("--keep", action="store_true", help="leave the scratch folders")
    parser.add_argument("--artifacts", default=os.path.join(os.getcwd(), "e2e-artifacts"))
    if extra:
        extra(parser)
    return parser.parse_args(argv)


def chosen_scenarios(scenarios, only):
    if not only:
        return list(scenarios)
    names = set(only.split(","))
    return [s for s in scenarios if s.__name__ in names]


def run_scenarios(functions, runner):
    """Runs each scenario (a failure is reported and the rest still run),
    closes the runner, prints "N passed, N failed" and returns the exit code."""
    passed = failed = 0
    try:
        for fn in functions:
            try:
                fn(runner)
                passed += 1
                print("PASS", fn.__name__, flush=True)
            except Exception:  # reported; the other scenarios still run
                failed += 1
                print("FAIL", fn.__name__, flush=True)
                traceback.print_exc()
    finally:
        runner.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0
