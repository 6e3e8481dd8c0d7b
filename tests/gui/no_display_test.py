#!/usr/bin/env python3
"""The Linux program started where no graphical desktop answers.

    no_display_test.py PROGRAM

It must say so in one line on stderr and end with status 0, not abort with
the toolkit's advice to reinstall. Run as a normal user (nobody), as a user
starts it from a text console or an ssh session without X forwarding. The
same where a Wayland desktop answers but the toolkit's Wayland platform plugin
is not installed (hidden here in a private mount namespace): the line names
the package to install, unless an X server answers too, which then serves.
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
NO_PLUGIN = ("comtester needs Qt's Wayland platform plugin, which is missing: "
             "install the package qt6-wayland.\n")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support.desktops import WaylandDesktop, XDesktop  # noqa: E402  the tests' shared support


def without_wayland_plugin():
    """A command prefix that runs a program where the toolkit's platform
    plugins folder holds all but the Wayland ones."""
    multiarch = subprocess.check_output(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], text=True)
    folder = "/usr/lib/%s/qt6/plugins/platforms" % multiarch.strip()
    binds = [a for name in os.listdir(folder) if not name.startswith("libqwayland")
             for a in ("--ro-bind", os.path.join(folder, name), os.path.join(folder, name))]
    return ["bwrap", "--die-with-parent", "--dev-bind", "/", "/", "--tmpfs", folder, *binds, "--"]


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
    def launch(self, prefix=(), **display):
        setpriv = shutil.which("setpriv")
        self.assertIsNotNone(setpriv, "setpriv (util-linux) is missing: scripts/install-dependencies.sh")
        home = tempfile.mkdtemp()
        os.chmod(home, 0o777)
        self.addCleanup(shutil.rmtree, home)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "LANG": "C.UTF-8", **display}

        def no_core():  # a regression must not leave core files behind
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        process = subprocess.Popen([*prefix, setpriv, "--reuid=nobody", "--regid=nogroup",
                                    "--clear-groups", PROGRAM], env=env, cwd=home,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=no_core)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        return process

    def check(self, process, line=LINE):
        stdout, stderr = process.communicate(timeout=30)
        stderr = stderr.decode(errors="replace")
        self.assertGreaterEqual(process.returncode, 0,
                                f"ended by signal {-process.returncode}: {stderr!r}")
        self.assertEqual(process.returncode, 0, stderr)
        self.assertEqual(stderr, line)
        self.assertEqual(stdout, b"")
        self.assertNotIn("reinstall", stderr.lower())

    def test_no_display_named(self):
        self.check(self.launch())

    def test_x_display_that_nothing_answers(self):
        self.check(self.launch(DISPLAY=free_display()))

    def test_wayland_display_that_nothing_answers(self):
        runtime = tempfile.mkdtemp(dir="/tmp")  # a socket folder: a short path
        os.chmod(runtime, 0o700)
        os.chown(runtime, int(subprocess.check_output(["id", "-u", "nobody"])), -1)
        self.addCleanup(shutil.rmtree, runtime)
        self.check(self.launch(WAYLAND_DISPLAY="wayland-7", XDG_RUNTIME_DIR=runtime))

    def test_wayland_desktop_without_its_plugin(self):
        desktop = WaylandDesktop()
        self.addCleanup(desktop.close)
        wayland = {"WAYLAND_DISPLAY": os.environ["WAYLAND_DISPLAY"],
                   "XDG_RUNTIME_DIR": os.environ["XDG_RUNTIME_DIR"]}
        self.check(self.launch(without_wayland_plugin(), **wayland), NO_PLUGIN)
        # With an X server beside it (Xwayland), the program runs there.
        x11 = XDesktop()
        self.addCleanup(x11.close)
        process = self.launch(without_wayland_plugin(), DISPLAY=os.environ["DISPLAY"], **wayland)
        x11.window("Form1")
        subprocess.run(["wmctrl", "-c", "Form1"], timeout=30)
        self.assertEqual(process.wait(30), 0)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
