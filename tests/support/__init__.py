"""What the Python harnesses share, written once, as the C++ tests share
this folder's library:

    support             waiting for a condition, checks that are counted,
                        the tools a harness needs, a normal user
    support.lines       pseudo-terminal pairs whose far end the test plays
    support.desktops    an X desktop (Xvfb and openbox) and a Wayland one
                        (sway, headless), driven as a user drives them
    support.wine        Wine prefixes with COM1 and COM2 mapped
    support.qemu        a QEMU guest booted from Debian's kernel and an
                        initramfs of busybox and the test's programs; its
                        console, one serial line and QEMU's monitor

A harness puts the tests folder on its path and imports from here:

    sys.path.insert(0, os.path.join(<the tree>, "tests"))
    from support import wait_for, Checks
"""
import os
import shutil
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Runs a command as the normal user a machine's users are, not as root, who
# passes every permission and TIOCEXCL.
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# CTest's mark of a test that this machine cannot run (tests/CMakeLists.txt).
CANNOT_RUN_MARK = "this machine cannot execute"
SKIP = 77  # the exit status CTest takes as skipped where a test says so
# COMTESTER_TEST_SLOWDOWN (a factor, 1 when unset) stretches every deadline
# for a machine slower than this one, such as an emulated one.
SLOWDOWN = max(1.0, float(os.environ.get("COMTESTER_TEST_SLOWDOWN") or 1))


def patience(seconds):
    """`seconds`, stretched by the machine's slowdown: for the deadlines
    that are not a wait_for's, such as a subprocess's timeout."""
    return seconds * SLOWDOWN


def wait_for(predicate, deadline=10.0, step=0.02):
    """Polls `predicate` until it gives a true value or `deadline` seconds,
    stretched by the machine's slowdown, are up; its last value."""
    end = time.monotonic() + patience(deadline)
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def require(*tools):
    """Ends the harness, naming what is missing, unless every tool is on PATH."""
    for tool in tools:
        if not shutil.which(tool):
            sys.exit("missing %s: scripts/install-dependencies.sh installs it" % tool)


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP)


class Checks:
    """Checks that go on after a failure, each printed, counted at the end."""

    def __init__(self):
        self.failures = []

    def __call__(self, condition, what):
        print(("ok: " if condition else "FAIL: ") + what, flush=True)
        if not condition:
            self.failures.append(what)
        return condition

    def status(self):
        """0 when every check held; else 1, once the failures are counted."""
        if self.failures:
            print("%d check(s) failed" % len(self.failures), flush=True)
        return 1 if self.failures else 0
