#!/usr/bin/env python3
"""The POSIX build's terminal front end, on a pseudo-terminal: the status line
and progress bar are drawn, and Ctrl-C while the update runs asks before it
aborts (answered no: the update goes on; yes: the program ends at once with
exit code 0, the end marker written and the game not started); a version
check that failed says so.

  terminal_scenarios.py --program build/native/Updater --stub build/native/tests/torvane_stub.sh

POSIX build only (the Windows build exits 77, skipped). Ends with "N passed, N failed".
"""

import os
import pty
import select
import struct
import termios
import fcntl
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testca  # noqa: E402
from harness import Runner, World, chosen_scenarios, parse_arguments, run_scenarios  # noqa: E402
from scenarios import (OLD_INSTALL, expect, expect_in_order, expect_launched, standard_world,  # noqa: E402
                       version_bytes)

QUESTION = b"Update is still running. Are you sure you want to abort?"


class Terminal:
    """The updater with a pseudo-terminal as its controlling terminal."""

    def __init__(self, world):
        argv = testca.trusted_command(world.runner.command(world), world.runner.pki["bundle"])
        env = world.runner.environment(world, True)
        env["TERM"] = "xterm"
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            os.chdir(world.cwd)
            os.execvpe(argv[0], argv, env)
        # A terminal wide enough for the longest status text beside the bar.
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 132, 0, 0))
        self.screen = b""

    def read_until(self, needle, timeout=60):
        deadline = time.monotonic() + timeout
        while needle not in self.screen:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self._read(remaining):
                raise AssertionError("%r never appeared on the terminal; it shows:\n%s" % (needle, self.text()))

    def _read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 4096)
        except OSError:  # the program ended and closed the terminal
            return False
        self.screen += chunk
        return bool(chunk)

    def type(self, keys):
        os.write(self.master, keys)

    def wait(self, timeout=120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self._read(0.1)
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                while self._read(0.05):
                    pass
                os.close(self.master)
                return os.waitstatus_to_exitcode(status)
        raise AssertionError("the program did not end; the terminal shows:\n" + self.text())

    def text(self):
        return self.screen.decode("utf-8", "replace")


def slow_package_world(runner, name, behaviour):
    world = standard_world(runner, name)
    world.server.set_behaviours({"/updates/update.zip": behaviour})
    world.server.start()
    return world


def ctrl_c_answered_no(runner):
    world = slow_package_world(runner, "tty-no", {"delay_headers": 4})
    try:
        terminal = Terminal(world)
        terminal.read_until(b"Update available. Downloading update package...")
        terminal.type(b"\x03")
        terminal.read_until(QUESTION)
        terminal.type(b"n\n")
        rc = terminal.wait()
    finally:
        world.server.stop()
    expect(rc == 0, "exit code %r" % rc)
    for drawn in (b"Checking local versions...", b"Copying new files...", b"Launching game...",
                  b"[##############################] 100%", b"[..............................] 0%"):
        expect(drawn in terminal.screen, "%r drawn on the terminal:\n%s" % (drawn, terminal.text()))
    messages = world.log_messages()
    expect_in_order(messages, ["version.txt updated (game=1.2.4, updater=1.0.0)", "maps.zip extracted successfully.",
                               "Launched torvane.exe successfully.", "=== Updater end (loader) ==="])
    expect_launched(world)


def ctrl_c_answered_yes(runner):
    world = slow_package_world(runner, "tty-yes", {"stall_body_after": 10, "stall_seconds": 60})
    try:
        terminal = Terminal(world)
        terminal.read_until(b"Update available. Downloading update package...")
        started = time.monotonic()
        terminal.type(b"\x03")
        terminal.read_until(QUESTION)
        terminal.type(b"y\n")
        rc = terminal.wait(timeout=20)
        took = time.monotonic() - started
    finally:
        world.server.stop()
    expect(rc == 0, "exit code %r after the abort" % rc)
    expect(took < 10, "the abort ends the program at once (%.1f s)" % took)
    messages = world.log_messages()
    expect(messages[-1] == "=== Updater end (loader) ===", "the end marker closes the log: %r" % messages[-3:])
    expect(world.launch_record() is None, "the game is not started after an abort")
    expect(version_bytes(world) == OLD_INSTALL["version.txt"], "version.txt unchanged")


def failed_check_is_told(runner):
    world = World(runner, "tty-no-server")
    terminal = Terminal(world)  # no server answers
    expect(terminal.wait() == 0, "exit code")
    expect(b"Could not check for updates." in terminal.screen and b"No update needed." not in terminal.screen,
           "the status after a failed check:\n" + terminal.text())


def main(argv):
    args = parse_arguments(argv, __doc__)
    if args.wine:
        print("the terminal front end belongs to the POSIX build\n0 passed, 0 failed")
        return 77
    runner = Runner(args.program, args.stub)
    scenarios = (ctrl_c_answered_no, ctrl_c_answered_yes, failed_check_is_told)
    return run_scenarios(chosen_scenarios(scenarios, args.only), runner)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
