#!/usr/bin/env python3
"""The Linux program started where no graphical desktop answers.

    no_display_test.py PROGRAM

It must say so in one line on stderr and end with status 0, not abort with
the toolkit's advice to reinstall. Run as a normal user (nobody), as a user
starts it from a text console or an ssh session without X forwarding.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

PROGRAM = None  # set from the command line
LINE = "comtester needs a graphical desktop (DISPLAY or WAYLAND_DISPLAY), and none answers.\n"


def free_display():
    """An X display number that no server holds: no lock, no socket of either kind."""
    with open("/proc/net/unix") as f:
        sockets = f.read()
    for n in range(700, 800):
        if not (os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}")
                or f"/tmp/.X11-unix/X{n}\n" in sockets):
            return f":{n}"
    raise RuntimeError("no free X display number in 700..799")


class NoDisplay(unittest.TestCase):
    def start(self, **display):
        setpriv = shutil.which("setpriv")
        self.assertIsNotNone(setpriv, "setpriv (util-linux) is missing: scripts/install-dependencies.sh")
        home = tempfile.mkdtemp()
        os.chmod(home, 0o777)
        self.addCleanup(shutil.rmtree, home)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "LANG": "C.UTF-8", **display}

        def no_core():  # a regression must not leave core files behind
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        return subprocess.run([setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                               PROGRAM], env=env, cwd=home, capture_output=True, timeout=30,
                              preexec_fn=no_core)

    def check(self, run):
        stderr = run.stderr.decode(errors="replace")
        self.assertGreaterEqual(run.returncode, 0, f"ended by signal {-run.returncode}: {stderr!r}")
        self.assertEqual(run.returncode, 0, stderr)
        self.assertEqual(stderr, LINE)
        self.assertEqual(run.stdout, b"")
        self.assertNotIn("reinstall", stderr.lower())

    def test_no_display_named(self):
        self.check(self.start())

    def test_x_display_that_nothing_answers(self):
        self.check(self.start(DISPLAY=free_display()))

    def test_wayland_display_that_nothing_answers(self):
        runtime = tempfile.mkdtemp()
        os.chmod(runtime, 0o700)
        os.chown(runtime, int(subprocess.check_output(["id", "-u", "nobody"])), -1)
        self.addCleanup(shutil.rmtree, runtime)
        self.check(self.start(WAYLAND_DISPLAY="wayland-7", XDG_RUNTIME_DIR=runtime))


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
