"""Running the built updater in a scratch sandbox, natively or under Wine (a
copy of the project's prefix and an X server of its own), trusting a local CA
in a private mount namespace; trees written and read back, packages made. The
demo, the benchmarks and the end-to-end tests share it."""

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import local_ca  # noqa: E402

SERVER_PORT = int(os.environ.get("UPDATER_TEST_PORT") or "48443")


def write_tree(root, files):
    """files: {relative path with '/': bytes, or None for a directory}"""
    for rel, data in files.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(path if data is None else os.path.dirname(path), exist_ok=True)
        if data is not None:
            with open(path, "wb") as out:
                out.write(data)


def read_tree(root, skip=()):
    """{relative path: bytes, or None for a directory}, top-level names in skip left out."""
    tree = {}
    for here, dirs, files in os.walk(root):
        for name in dirs + files:
            rel = os.path.relpath(os.path.join(here, name), root).replace(os.sep, "/")
            if rel.split("/")[0] not in skip:
                tree[rel] = None if name in dirs else open(os.path.join(here, name), "rb").read()
    return tree


def make_zip(path, entries):
    """A deflated package of {relative path: bytes, or None for a directory entry}."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for rel, data in entries.items():
            archive.writestr(zipfile.ZipInfo(rel.rstrip("/") + "/") if data is None else rel, data or b"")


class Runner:
    """Runs the built program natively or under Wine (a copy of the project's
    prefix and an X server of its own). Scripts of other builds that serve on
    the same port wait until this one has ended."""

    def __init__(self, program, stub, wine=False, keep=False):
        self.port_lock = open(os.path.join(tempfile.gettempdir(), "updater-e2e-port-%d.lock" % SERVER_PORT), "w")
        fcntl.flock(self.port_lock, fcntl.LOCK_EX)
        self.program, self.stub, self.program_name = os.path.abspath(program), os.path.abspath(stub), os.path.basename(program)
        self.wine, self.keep, self.display = wine, keep, None
        self.scratch = tempfile.mkdtemp(prefix="updater-e2e-")
        self.pki = local_ca.make_pki(os.path.join(self.scratch, "pki"))
        if wine:
            self.prefix = os.path.join(self.scratch, "wineprefix")
            subprocess.run(["cp", "-a", os.environ["WINEPREFIX"], self.prefix], check=True)
            read_end, write_end = os.pipe()
            self.display = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                             "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
            os.close(write_end)
            number = b""
            while not number.endswith(b"\n"):
                number += os.read(read_end, 16) or b"Xvfb did not start\n"
            self.display_name = ":" + number.decode().strip()
            os.close(read_end)
            # Without a window manager Wine waits for one on every hide or
            # destroy, unless it manages its windows itself.
            for value in ("Managed", "Decorated"):
                subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", value, "/d", "N", "/f"],
                               env=self.wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.wine_env())

    def close(self):
        if self.wine:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), stderr=subprocess.DEVNULL)
            self.display.terminate()
        if not self.keep:
            shutil.rmtree(self.scratch, ignore_errors=True)

    def wine_env(self, home=None):
        return dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", DISPLAY=self.display_name,
                    **({"HOME": home} if home else {}))

    def wine_documents(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        return os.path.join(users, [u for u in os.listdir(users) if u != "Public"][0], "Documents")

    def environment(self, world, documents):
        if self.wine:
            # The prefix's Documents becomes the world's (or a dangling link: no Documents at all).
            link = self.wine_documents()
            shutil.rmtree(link) if os.path.isdir(link) and not os.path.islink(link) else os.remove(link)
            os.symlink(world.documents if documents else os.path.join(world.root, "none"), link)
            return self.wine_env(home=world.home)
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_") and k != "HOME"}
        return dict(env, XDG_CONFIG_HOME=os.path.join(world.home, ".config"), **({"HOME": world.home} if documents else {}))

    def command(self, world):
        program = os.path.join(world.install, world.program_name)
        return local_ca.trusted_command(["wine", program] if self.wine else [program], self.pki["bundle"], wine=self.wine)

    def start_program(self, world):
        return subprocess.Popen(self.command(world), cwd=world.cwd, env=self.environment(world, True),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def x(self, *argv):
        """Runs an X client (xdotool, import) on the private display."""
        return subprocess.run(argv, env=dict(os.environ, DISPLAY=self.display_name), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode().split()

    def wait_for_window(self, title, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.x("xdotool", "search", "--name", "^%s$" % title)
            if found:
                return found[0]
            time.sleep(0.2)
        raise AssertionError("no window titled %r appeared" % title)
