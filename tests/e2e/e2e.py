#!/usr/bin/env python3
"""End-to-end tests of the shipped programs, exactly as built.

    e2e.py linux [--arch ARCH] PROGRAM [LAUNCHER] [--display-server=x11|wayland]
           [--screen=WxH [--scale=S] [--floating]] [TEST...]
                            the Linux executable, started by the port launcher
                            users run (scripts/comtester-ports unless given)
                            with /dev/ttyS0 and /dev/ttyS1 bound to
                            pseudo-terminals in a private /dev, on X11 (the
                            default) or on a Wayland compositor; an ARCH build
                            other than the machine's (arm64, armhf) under
                            qemu-user
    e2e.py windows ARCH PROGRAM WINDOW_DRIVER [TEST...]
                            a Windows executable, ARCH x86_64 under wine64 or
                            i686 under 32-bit wine, COM1 and COM2 mapped to
                            pseudo-terminals

TEST names the cases to run (test_typical_use, ...); all of them by default.
With --screen, the Linux program on a screen of that size at that scale (Qt's
on X11, the output's on sway; --floating: sway floats the window) and the
case that looks at its place on it (LAYOUT_TESTS), read through the
accessibility bus as a screen reader reads it.

Both run on a private Xvfb display with openbox, driven by xdotool as a user
would: keys, typing and mouse clicks at the controls' places. On Wayland the
Linux program runs on sway, headless, as a normal user, in sway's default
tiling layout, driven by the keyboard alone (wtype), and runs the cases marked
for it (WAYLAND_TESTS). What the window
shows is read back through the clipboard (select all and copy), or for a
Windows message box through the Win32 test driver; never from the program's
own report. The tests play the peer at the far end of each line.

On a machine that cannot execute the architecture's programs (32-bit ones on
a kernel without 32-bit support) the run says so with CANNOT_RUN_MARK, which
CTest counts as skipped.
"""
import atexit
import errno
import fcntl
import json
import os
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Per Windows architecture: the loader, its server, WINEARCH of a new prefix,
# and the package that provides them.
ARCHES = {
    "x86_64": ("/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64", "wine64"),
    "i686": ("/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32", "wine32:i386"),
}
CANNOT_RUN_MARK = "this machine cannot execute"
# Per Linux architecture built for ARM boards: qemu-user's emulator for it.
EMULATORS = {"arm64": "qemu-aarch64-static", "armhf": "qemu-arm-static"}

# Control places in the window's client area, as the form description has them.
BUTTON_OPEN = (272, 40, 145, 81)
BUTTON_EXIT = (488, 40, 137, 81)
BUTTON_RECEIVE = (408, 376, 169, 57)
BUTTON_SEND = (48, 368, 169, 57)
MEMO_SEND = (40, 176, 201, 185)
MEMO_RECEIVE = (368, 168, 217, 185)

TARGET = None  # set from the command line
DISPLAY_SERVER = "x11"  # the Linux program's; --display-server=wayland on the command line
WAYLAND_TESTS = ["test_by_keyboard_alone"]  # the cases that need no pointer
LAYOUT_TESTS = ["test_fits_the_screen"]
SCREEN, SCALE, FLOATING = None, "1", False  # --screen=WxH, --scale=S, --floating
# Each control's designed size, by role and name: none may be cut.
DESIGNED = {("push button", "開啟通訊埠"): (145, 81), ("push button", "結束系統"): (137, 81),
            ("push button", "傳送資料"): (169, 57), ("push button", "接收資料"): (169, 57),
            ("label", "傳送資料"): (48, 13), ("label", "接收資料"): (48, 13)}
SCREENSHOT = os.environ.get("E2E_SCREENSHOT")  # where to put a picture of the window


def wait_for(predicate, deadline=10.0, step=0.02):
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


class Line:
    """A pseudo-terminal pair: the tests hold the far end; the near end,
    raw and closed again, is what the program opens as a port."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        tty.setraw(slave)  # Wine reports a tty's settings as the port's
        os.close(slave)
        os.set_blocking(self.master, False)

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def write(self, data):
        os.write(self.master, data)

    def read(self, count, deadline=5.0):
        got = b""
        end = time.monotonic() + deadline
        while len(got) < count and time.monotonic() < end:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    got += os.read(self.master, count - len(got))
                except OSError:  # the near end is closed: nothing more comes
                    time.sleep(0.05)
        return got

    def drain(self, quiet=0.3):
        return self.read(1 << 20, quiet)

    def wait_queued(self, count, deadline=10.0):
        """Waits until the near end's input queue holds `count` bytes: a
        peer's bytes reach it a moment after they are written."""
        def queued():
            fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"),
                                      sys.byteorder)
            finally:
                os.close(fd)
        return wait_for(lambda: queued() >= count, deadline)

    def near_end_closed(self):
        """True once no one holds the near end open any more."""
        events = select.poll()
        events.register(self.master, select.POLLIN)
        return any(e & select.POLLHUP for _, e in events.poll(0))


def locked_pty():
    """A pseudo-terminal whose near end exists but cannot be opened."""
    master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
    tiocgptn = 0x80045430  # the pair's number; Python's termios doesn't name it
    number = fcntl.ioctl(master, tiocgptn, b"\0\0\0\0")
    return master, "/dev/pts/%d" % int.from_bytes(number, sys.byteorder)


class Desktop:
    """Xvfb on a free display, with openbox for frames and focus."""

    def __init__(self, screen=(1280, 1024)):
        self.size = screen
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
             "-screen", "0", "%dx%dx24" % screen],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 20)[0]:
                raise RuntimeError("Xvfb named no display")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb ended")
            number += chunk
        os.close(read_end)
        os.environ["DISPLAY"] = ":" + number.decode().strip()
        self.openbox = subprocess.Popen(["openbox", "--sm-disable"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Frames, focus and closing by the frame need it in charge.
        if not wait_for(lambda: subprocess.run(["wmctrl", "-m"], capture_output=True,
                                               timeout=30).returncode == 0, 20, 0.05):
            raise RuntimeError("openbox did not take charge of the display")

    def close(self):
        for p in (self.openbox, self.xvfb):
            p.kill()
            p.wait()

    @staticmethod
    def xdotool(*args):
        return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                              timeout=30).stdout.strip()

    def window(self, title, deadline=30.0):
        """The X window of the visible top-level window with that title."""
        found = wait_for(lambda: self.xdotool("search", "--onlyvisible", "--name",
                                              "^%s$" % title), deadline, 0.1)
        if not found:
            raise AssertionError("no window titled %r" % title)
        return found.split()[-1]

    def gone(self, title):
        return not self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title)

    def activate(self, window):
        self.xdotool("windowactivate", "--sync", window)
        wait_for(lambda: self.xdotool("getactivewindow") == window, 5)

    def keys(self, *keys):
        for key in keys:
            self.xdotool("key", "--clearmodifiers", key)
            time.sleep(0.05)

    def type(self, text):
        self.xdotool("type", "--delay", "30", text)

    def click(self, window, place):
        left, top, width, height = place
        self.xdotool("mousemove", "--window", window, str(left + width // 2),
                     str(top + height // 2), "click", "1")
        time.sleep(0.1)

    def click_inside(self, window, place):
        left, top, _, _ = place
        self.xdotool("mousemove", "--window", window, str(left + 10), str(top + 10), "click", "1")
        time.sleep(0.1)

    def copied(self, copy):
        """What `copy` puts on the clipboard, as text."""
        sentinel = "nothing copied %f" % time.monotonic()
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], input=sentinel.encode(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        copy()

        def read():
            out = subprocess.run(["xclip", "-selection", "clipboard", "-o"], capture_output=True,
                                 timeout=10).stdout.decode("utf-8", "replace")
            return out if out != sentinel else None
        return wait_for(read, 10) or ""

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-window", "root", path], check=True, timeout=30)

    def identity(self, window):
        """The instance part of the window's WM_CLASS."""
        prop = subprocess.run(["xprop", "-id", window, "WM_CLASS"], capture_output=True, text=True,
                              timeout=30).stdout
        return prop.split('"')[1] if prop.count('"') >= 2 else prop

    def fills_its_place(self, window):
        return True  # a stacking desktop gives the window the size it asks for

    @staticmethod
    def close_window(window):
        subprocess.run(["wmctrl", "-i", "-c", window], timeout=30)

    def resize(self, window, width, height):
        self.xdotool("windowsize", window, str(width), str(height))
        return True

    @staticmethod
    def offers_maximising(window):
        """Whether the window's Motif hints let a window manager offer it."""
        prop = subprocess.run(["xprop", "-id", window, "_MOTIF_WM_HINTS"], capture_output=True,
                              text=True, timeout=30).stdout
        if "=" not in prop:
            return True  # no hints: every function
        flags, functions = (int(v, 16) for v in prop.split("=")[1].split(",")[:2])
        # With MWM_FUNC_ALL (1) the other bits take functions away.
        return not flags & 1 or bool(functions & 1) != bool(functions & 0x10)

    @staticmethod
    def maximise(window):
        subprocess.run(["wmctrl", "-i", "-r", window, "-b", "add,maximized_vert,maximized_horz"],
                       timeout=30)
        return True

    def frame_and_screen(self, window):
        """The window's place with its frame, and the screen's, as (x, y, w, h)."""
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True,
                              timeout=30).stdout
        value = lambda name: int(info.split(name + ":")[1].split()[0])
        prop = subprocess.run(["xprop", "-id", window, "_NET_FRAME_EXTENTS"], capture_output=True,
                              text=True, timeout=30).stdout
        left, right, top, bottom = (int(v) for v in prop.split("=")[1].split(","))
        return ((value("Absolute upper-left X") - left, value("Absolute upper-left Y") - top,
                 value("Width") + left + right, value("Height") + top + bottom),
                (0, 0) + self.size)

    def pid(self, window):
        return int(self.xdotool("getwindowpid", window))


class WaylandDesktop:
    """sway, headless, run as nobody with a runtime folder of its own: one
    output of 1280x800, the default config's tiling. One virtual keyboard
    stays plugged in for the whole run: a keyboard that appears for each key
    loses its first one."""

    USER = "nobody"

    def __init__(self, screen=(1280, 800), scale="1", floating=False):
        for tool in ("sway", "swaymsg", "wtype", "grim", "wl-copy", "wl-paste", "convert"):
            if not shutil.which(tool):
                sys.exit("missing %s: scripts/install-dependencies.sh installs it" % tool)
        self.folder = tempfile.mkdtemp(prefix="comtester-e2e-sway-", dir="/tmp")  # sockets: a short path
        runtime, home = os.path.join(self.folder, "runtime"), os.path.join(self.folder, "home")
        uid = int(subprocess.check_output(["id", "-u", self.USER]))
        for folder in (runtime, home):
            os.mkdir(folder, 0o700)
            os.chown(folder, uid, -1)
        config = os.path.join(self.folder, "config")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 resolution %dx%d scale %s\n" % (*screen, scale))
            if floating:
                f.write('for_window [app_id="org.comtester.comtester"] floating enable\n')
        os.chmod(self.folder, 0o755)
        os.chmod(config, 0o644)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "XDG_RUNTIME_DIR": runtime, "WLR_BACKENDS": "headless",
               "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"}
        self.log = open(os.path.join(self.folder, "sway.log"), "w")
        self.sway = subprocess.Popen(
            ["setpriv", "--reuid=" + self.USER, "--regid=nogroup", "--clear-groups", "sway",
             "-c", config], env=env, stdout=self.log, stderr=self.log)
        sockets = lambda: sorted(os.listdir(runtime)) if os.path.isdir(runtime) else []
        if not wait_for(lambda: any(n.startswith("sway-ipc.") for n in sockets()) and
                        any(n.startswith("wayland-") and not n.endswith(".lock") for n in sockets()), 30):
            raise RuntimeError("sway did not start: %s" % open(self.log.name).read()[-2000:])
        wayland = [n for n in sockets() if n.startswith("wayland-") and not n.endswith(".lock")][0]
        os.environ.update(XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY=wayland, SWAYSOCK=os.path.join(
            runtime, [n for n in sockets() if n.startswith("sway-ipc.")][0]))
        os.environ.pop("DISPLAY", None)  # Wayland, never an X server by chance
        self.keyboard = subprocess.Popen(["wtype", "-s", "3600000", ""])
        wait_for(lambda: "virtual_keyboard" in self.swaymsg("-t", "get_inputs"), 10)

    def close(self):
        for p in (self.keyboard, self.sway):
            p.kill()
            p.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    @staticmethod
    def swaymsg(*args):
        return subprocess.run(["swaymsg", *args], capture_output=True, text=True,
                              timeout=30).stdout

    def windows(self):
        """The windows in sway's tree that show a surface."""
        found, nodes = [], [json.loads(self.swaymsg("-t", "get_tree") or "{}")]
        while nodes:
            node = nodes.pop()
            if node.get("pid") and node.get("visible"):
                found.append(node)
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def node(self, title):
        return next((n for n in self.windows() if n.get("name") == title), None)

    def window(self, title, deadline=30.0):
        found = wait_for(lambda: self.node(title), deadline, 0.1)
        if not found:
            raise AssertionError("no window titled %r" % title)
        return found["id"]

    def gone(self, title):
        return self.node(title) is None

    def activate(self, window):
        self.swaymsg("[con_id=%d]" % window, "focus")
        wait_for(lambda: any(n["id"] == window and n.get("focused") for n in self.windows()), 5)

    def keys(self, *keys):
        for key in keys:
            *modifiers, name = key.split("+")
            args = [a for m in modifiers for a in ("-M", m)] + ["-k", name]
            args += [a for m in modifiers for a in ("-m", m)]
            subprocess.run(["wtype", *args], check=True, timeout=30)
            time.sleep(0.05)

    def type(self, text):
        subprocess.run(["wtype", "-d", "30", text], check=True, timeout=60)

    def copied(self, copy):
        sentinel = "nothing copied %f" % time.monotonic()
        subprocess.run(["wl-copy", sentinel], timeout=10)
        copy()

        def read():
            out = subprocess.run(["wl-paste", "--no-newline"], capture_output=True,
                                 timeout=10).stdout.decode("utf-8", "replace")
            return out if out != sentinel else None
        return wait_for(read, 10) or ""

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["grim", path], check=True, timeout=30)

    def identity(self, window):
        return next((n.get("app_id") for n in self.windows() if n["id"] == window), None)

    def pid(self, window):
        return next(n["pid"] for n in self.windows() if n["id"] == window)

    def fills_its_place(self, window):
        """Whether the window took the size of its tile: the tile's corners
        show the window's background, and a button stands where the form puts
        it from the tile's top left (a window that kept a smaller size shows
        the desktop there, or sits elsewhere)."""
        node = next(n for n in self.windows() if n["id"] == window)
        left = node["rect"]["x"] + node["window_rect"]["x"]
        top = node["rect"]["y"] + node["window_rect"]["y"]
        width, height = node["window_rect"]["width"], node["window_rect"]["height"]
        exit_button = (BUTTON_EXIT[0] + BUTTON_EXIT[2] // 2, BUTTON_EXIT[1] + BUTTON_EXIT[3] // 2)
        places = [(250, 80), exit_button, (4, 4), (width - 5, 4), (4, height - 5),
                  (width - 5, height - 5)]
        background, button, *corners = self.pixels([(left + x, top + y) for x, y in places])
        return button != background and all(c == background for c in corners)

    def close_window(self, window):
        self.swaymsg("[con_id=%d]" % window, "kill")

    def maximise(self, window):
        return False  # tiled, it takes its tile; floating, sway has no maximising

    def resize(self, window, width, height):
        """Only a floating window: a tiled one takes its tile."""
        node = next(n for n in self.windows() if n["id"] == window)
        if node.get("type") != "floating_con":
            return False
        self.swaymsg("[con_id=%d]" % window, "resize", "set", str(width), str(height))
        return True

    def frame_and_screen(self, window):
        node = next(n for n in self.windows() if n["id"] == window)
        output = json.loads(self.swaymsg("-t", "get_outputs"))[0]["rect"]
        place = lambda rect: tuple(rect[k] for k in ("x", "y", "width", "height"))
        x, y, w, h = place(node["rect"])
        title = node["deco_rect"]["height"]  # drawn above the node's own rect
        return (x, y - title, w, h + title), place(output)

    def pixels(self, points):
        """The colours at those points of the screen, as (r, g, b)."""
        shot = os.path.join(self.folder, "screen.png")
        self.screenshot(shot)
        raw = subprocess.run(["convert", shot, "-depth", "8", "rgb:-"], capture_output=True,
                             check=True, timeout=30).stdout
        width = json.loads(self.swaymsg("-t", "get_outputs"))[0]["rect"]["width"]
        return [tuple(raw[3 * (y * width + x):3 * (y * width + x) + 3]) for x, y in points]


class LinuxProgram:
    def __init__(self, program, launcher=None, emulator=None):
        self.program = program
        self.launcher = launcher or os.path.join(ROOT, "scripts", "comtester-ports")
        self.emulator = [emulator] if emulator else []

    def start(self, com1, com2):
        # The installed launcher starts the program beside it; another build,
        # or one run by an emulator, is named after "--".
        command = [self.launcher, com1, com2]
        if self.emulator or os.path.dirname(self.launcher) != os.path.dirname(self.program):
            command += ["--", *self.emulator, self.program]
        return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def message_box(self, desktop, caption):
        """(caption, text) of the message box, read as its copy, then dismissed."""
        box = desktop.window(caption)
        desktop.activate(box)
        copied = desktop.copied(lambda: desktop.keys("ctrl+c"))
        # The toolkit copies caption, text and buttons between rules of dashes.
        parts = [p.strip() for p in copied.replace("\r", "").split("-" * 27) if p.strip()]
        desktop.keys("Return")
        wait_for(lambda: desktop.gone(caption), 5)
        return (parts[0], parts[1]) if len(parts) >= 2 else (copied, "")

    def hold(self, line):
        """Another process holding the port."""
        return subprocess.Popen(["python3", "-c",
                                 "import fcntl,os,sys,time\n"
                                 "fd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                                 "fcntl.flock(fd,fcntl.LOCK_EX)\n"
                                 "print('held',flush=True)\n"
                                 "time.sleep(600)", line.path], stdout=subprocess.PIPE)


def cannot_run(arch):
    """Why this machine cannot execute the architecture's programs, or None.
    The loader is itself such a program (an i386 ELF for i686); a kernel
    without support for its code refuses to execute it. A missing wine is no
    reason: the install script installs it."""
    wine, wineserver, _, package = ARCHES[arch]
    for tool in (wine, wineserver):
        if not os.access(tool, os.X_OK):
            sys.exit("missing %s: scripts/install-dependencies.sh installs %s" % (tool, package))
    try:
        subprocess.run([wine, "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=30)
    except OSError as error:
        if error.errno != errno.ENOEXEC:
            raise
        return "%s %s programs: the kernel refuses %s (%s)" % (CANNOT_RUN_MARK, arch, wine,
                                                               error.strerror)
    return None


class WindowsProgram:
    def __init__(self, arch, program, driver):
        self.program, self.driver = program, driver
        self.wine, self.wineserver, winearch, _ = ARCHES[arch]
        self.prefix = tempfile.mkdtemp(prefix="comtester-e2e-wine-%s-" % arch)
        os.environ.update(WINEPREFIX=self.prefix, WINEARCH=winearch, WINEDEBUG="-all",
                          LC_ALL="C", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.log = open(os.path.join(self.prefix, "..", os.path.basename(self.prefix) + ".log"), "w")
        subprocess.run([self.wine, "wineboot", "--init"], stdout=self.log, stderr=self.log,
                       check=True, timeout=180)
        subprocess.run([self.wineserver, "-w"], check=True, timeout=180)

    def close(self):
        subprocess.run([self.wineserver, "-k"], stdout=self.log, stderr=self.log)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def start(self, com1, com2):
        # Always both ports, and only to pseudo-terminals or the tests' own
        # files: Wine falls back to /dev/ttyS<n-1>, the machine's console here,
        # for a link leading nowhere.
        for path in (com1, com2):
            if not (path.startswith("/dev/pts/") and os.path.exists(path) or
                    os.path.isfile(path) and not path.startswith("/dev/")):
                raise AssertionError("refusing to map a port to %s" % path)
        for name, path in (("COM1", com1), ("COM2", com2)):
            subprocess.run([self.wine, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", name, "/t",
                            "REG_SZ", "/d", path, "/f"], stdout=self.log, stderr=self.log,
                           check=True, timeout=60)
        subprocess.run([self.wineserver, "-k"], stdout=self.log, stderr=self.log, timeout=60)
        subprocess.run([self.wineserver, "-w"], timeout=60)
        subprocess.run([self.wine, "reg", "query", r"HKLM\Software\Wine\Ports"], stdout=self.log,
                       stderr=self.log, check=True, timeout=60)
        links = lambda: [os.readlink(os.path.join(self.prefix, "dosdevices", n))
                         if os.path.islink(os.path.join(self.prefix, "dosdevices", n)) else None
                         for n in ("com1", "com2")]
        if not wait_for(lambda: links() == [com1, com2], 10):
            raise AssertionError("COM ports map to %s, not %s" % (links(), [com1, com2]))
        return subprocess.Popen([self.wine, self.program], stdout=self.log, stderr=self.log)

    def message_box(self, desktop, caption):
        """(caption, text) of the message box, read by the test driver, then dismissed."""
        desktop.window(caption)
        answer = subprocess.run([self.wine, self.driver],
                                input="messagebox {0} 10000\ndismiss {0}\n".format(
                                    caption.replace(" ", "\\ ")),
                                capture_output=True, text=True, timeout=60).stdout.splitlines()
        if not answer or not answer[-2:][0].startswith("ok"):
            raise AssertionError("driver: %r" % answer)
        text = [a for a in answer if a.startswith("ok ")][0][3:]
        return caption, text


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        screen = tuple(int(v) for v in SCREEN.split("x")) if SCREEN else None
        if DISPLAY_SERVER == "wayland":
            cls.desktop = WaylandDesktop(screen or (1280, 800), SCALE, FLOATING)
        else:
            cls.desktop = Desktop(screen or (1280, 1024))

    @classmethod
    def tearDownClass(cls):
        TARGET.close() if hasattr(TARGET, "close") else None
        cls.desktop.close()

    def setUp(self):
        self.com1, self.com2 = Line(), Line()
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.com1.close()
        self.com2.close()

    def start(self, com1=None, com2=None):
        # The previous case's program may still be going (under an emulator,
        # a while after its launcher has ended): its window is not this one.
        if not wait_for(lambda: self.desktop.gone("Form1"), 30, 0.1):
            raise AssertionError("an earlier program's window is still open")
        self.process = TARGET.start(com1 or self.com1.path, com2 or self.com2.path)
        self.window = self.desktop.window("Form1")
        self.desktop.activate(self.window)
        return self.window

    def receive_box(self):
        d = self.desktop
        d.click_inside(self.window, MEMO_RECEIVE)
        return d.copied(lambda: d.keys("ctrl+a", "ctrl+c"))

    def receive_until(self, expected, deadline=10.0):
        """Presses receive until the box shows `expected` (the driver may not
        have counted a peer's bytes the moment they were written)."""
        shown = ""
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            self.desktop.click(self.window, BUTTON_RECEIVE)
            shown = self.receive_box()
            if shown:
                break
        return shown

    def exit_status(self, deadline=20.0):
        try:
            return self.process.wait(deadline)
        except subprocess.TimeoutExpired:
            return None

    def test_typical_use(self):
        d = self.desktop
        self.start()
        if SCREENSHOT:  # for a person to look at
            d.screenshot(SCREENSHOT)
        # COM2 by the keyboard: Tab from the open button to the port chooser.
        d.keys("Tab", "Tab", "Tab", "Down")
        d.click(self.window, BUTTON_OPEN)
        d.click_inside(self.window, MEMO_SEND)
        d.keys("ctrl+a")
        d.type("hello, line")
        d.click(self.window, BUTTON_SEND)
        self.assertEqual(self.com2.read(11), b"hello, line")
        self.assertEqual(self.com1.drain(), b"")

        self.com2.write(b"twelve bytes")
        self.assertEqual(self.receive_until("twelve bytes"), "twelve bytes")

        d.click(self.window, BUTTON_EXIT)
        self.assertEqual(self.exit_status(), 0)
        self.assertTrue(wait_for(self.com2.near_end_closed, 5), "the port was not released")

    def test_a_port_that_cannot_be_opened(self):
        if isinstance(TARGET, LinuxProgram):
            holder = TARGET.hold(self.com1)
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            com1 = self.com1.path
        else:  # Wine doesn't enforce exclusive opens: a port that won't open
            holder = None
            master, com1 = locked_pty()
        try:
            self.start(com1=com1)
            self.desktop.click(self.window, BUTTON_OPEN)
            self.assertEqual(TARGET.message_box(self.desktop, "Comm Error"),
                             ("Comm Error", "開啟通訊埠錯誤!!"))
            self.desktop.click(self.window, BUTTON_SEND)
            self.assertEqual(self.com1.drain(), b"")
            self.assertEqual(self.com2.drain(), b"")
        finally:
            if holder:
                holder.kill()
                holder.wait()
            else:
                os.close(master)

    def test_more_than_the_limit_and_zero_bytes(self):
        d = self.desktop
        self.start()
        d.click(self.window, BUTTON_OPEN)
        data = bytes(ord("a") + i % 26 for i in range(1500))
        self.com1.write(data)
        self.assertTrue(self.com1.wait_queued(len(data)), "the driver never counted the bytes")
        first = self.receive_until(data[:1024].decode())
        self.assertEqual(first, data[:1024].decode())
        d.click(self.window, BUTTON_RECEIVE)
        self.assertEqual(self.receive_box(), data[1024:].decode())

        self.com1.write(b"before\0after")
        self.assertEqual(self.receive_until("before\u2400after"), "before\u2400after")

    def test_a_port_that_refuses_the_settings(self):
        # A device of the test's own that opens as a port does and refuses
        # every line setting: for the Linux launcher, which takes character
        # devices only, a null device node (its own inode, so no one else's
        # lock on /dev/null matters); under Wine, an empty file.
        folder = tempfile.mkdtemp(prefix="comtester-e2e-")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "not-a-line")
        if isinstance(TARGET, LinuxProgram):
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        else:
            open(path, "wb").close()
        self.start(com1=path)
        self.desktop.click(self.window, BUTTON_OPEN)
        self.assertEqual(TARGET.message_box(self.desktop, "Set Error"),
                         ("Set Error", "通訊埠設定錯誤!!!"))
        # The refused port was given back: a send reaches nothing.
        self.desktop.click(self.window, BUTTON_SEND)
        if not isinstance(TARGET, LinuxProgram):
            self.assertEqual(os.path.getsize(path), 0)
        self.desktop.click(self.window, BUTTON_RECEIVE)
        self.assertEqual(self.receive_box(), "Memo2")

    def test_by_keyboard_alone(self):
        """Open, Send, Receive and Exit with keys only, in the window as the
        desktop sees it: known by its menu entry's id, at the size it is given."""
        if not isinstance(TARGET, LinuxProgram):
            self.skipTest("the Linux program's identity on its desktop")
        d = self.desktop
        self.start()
        self.assertEqual(d.identity(self.window), "org.comtester.comtester")
        self.assertTrue(wait_for(lambda: d.fills_its_place(self.window), 20, 0.2),
                        "the window did not take the size it was given")
        with open("/proc/%d/maps" % d.pid(self.window)) as maps:  # drawn in software: no driver
            drivers = {line.split()[-1] for line in maps if "_dri.so" in line or "libEGL_" in line}
        self.assertEqual(drivers, set())
        d.keys("Return")  # the open button has the focus: COM1
        d.keys("Tab", "Tab", "Tab", "Tab", "ctrl+a")  # exit, receive, the port, the send box
        d.type("hello, line")
        d.keys("Tab", "Tab", "Return")  # the receive box, send
        self.assertEqual(self.com1.read(11), b"hello, line")
        self.com1.write(b"twelve bytes")
        self.assertTrue(self.com1.wait_queued(12), "the driver never counted the bytes")
        d.keys("Tab", "Tab", "Tab", "Return")  # open, exit, receive
        d.keys("Tab", "Tab", "Tab")  # the port, the send box, the receive box
        self.assertEqual(d.copied(lambda: d.keys("ctrl+a", "ctrl+c")), "twelve bytes")
        d.keys("Tab", "Tab", "Tab", "Return")  # send, open, exit
        self.assertEqual(self.exit_status(), 0)
        self.assertTrue(wait_for(self.com1.near_end_closed, 5), "the port was not released")

    def test_fits_the_screen(self):
        """On the screen given, at its scale: the whole window on the screen,
        every control inside its client area, none on another, none smaller
        than designed but the boxes, which take whatever room there is."""
        if not isinstance(TARGET, LinuxProgram) or not SCREEN:
            self.skipTest("the Linux program on a screen of a given size")
        import pyatspi
        d = self.desktop
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        if DISPLAY_SERVER == "x11":
            env["QT_SCALE_FACTOR"] = SCALE
        self.process = subprocess.Popen([*TARGET.emulator, TARGET.program], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.window = d.window("Form1")

        def controls():
            """The window's size and its controls' (role, name, x, y, w, h)."""
            form = next((w for app in pyatspi.Registry.getDesktop(0)
                         if app is not None and app.name == "comtester"
                         for w in app if w is not None and w.name == "Form1"), None)
            if form is None:
                return None
            # On the screen, less the client area's place there (0, 0 on Wayland).
            extents = lambda node: node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            size = extents(form)
            return (size.width, size.height), sorted(
                (c.getRoleName(), c.name, e.x - size.x, e.y - size.y, e.width, e.height)
                for c in form if c is not None for e in [extents(c)])
        def settled():
            """The same twice running, a while apart."""
            seen = [None]
            wait_for(lambda: seen.append(controls()) or (seen[-1] == seen[-2] and seen[-1]), 20, 0.5)
            return seen[-1]

        def check(size, placed):
            width, height = size
            self.assertEqual(len(placed), 9, placed)
            # In the toolkit's pixels or the screen's: the open button says which.
            scale = next(c[4] for c in placed if c[:2] == ("push button", "開啟通訊埠")) / 145
            for i, (role, name, left, top, cw, ch) in enumerate(placed):
                self.assertTrue(left >= 0 and top >= 0 and left + cw <= width and top + ch <= height,
                                "%s %s at %r is not inside %dx%d" % (role, name, placed[i][2:],
                                                                     width, height))
                for other in placed[i + 1:]:
                    self.assertFalse(left < other[2] + other[4] and other[2] < left + cw and
                                     top < other[3] + other[5] and other[3] < top + ch,
                                     "%s %s on %r" % (role, name, (placed[i], other)))
                if (role, name) in DESIGNED:
                    dw, dh = DESIGNED[role, name]
                    self.assertTrue(abs(cw - dw * scale) <= 1 and abs(ch - dh * scale) <= 1,
                                    "%s %s is %dx%d" % (role, name, cw, ch))
            # The boxes take the room beyond the design's 680 x 441.
            boxes = [c for c in placed if c[0] == "text"]
            if width >= 680 * scale and height >= 441 * scale:
                self.assertLessEqual(abs(sum(c[4] for c in boxes) - (width - 262 * scale)),
                                     2 * scale + 1)
                for box in boxes:
                    self.assertLessEqual(abs(box[5] - (height - 256 * scale)), scale + 1)

        size, placed = settled()
        if SCREENSHOT:
            d.screenshot(SCREENSHOT)
        (x, y, w, h), (sx, sy, sw, sh) = d.frame_and_screen(self.window)
        print("frame %dx%d at %d,%d on %dx%d; client %dx%d" % (w, h, x, y, sw, sh, *size))
        self.assertTrue(sx <= x and sy <= y and x + w <= sx + sw and y + h <= sy + sh,
                        "the window %r is not inside the screen %r" % ((x, y, w, h), (sx, sy, sw, sh)))
        check(size, placed)
        # Made as small as the user can: it stops at a size that still shows everything.
        if d.resize(self.window, 100, 80):
            wait_for(lambda: (c := controls()) and c[0] != size, 10, 0.2)
            smaller, placed = settled()
            print("made smaller by the user: client %dx%d" % smaller)
            self.assertLess(smaller[0] * smaller[1], size[0] * size[1])
            check(smaller, placed)
        # Maximised, where the desktop offers it: the boxes take the screen.
        if DISPLAY_SERVER == "x11":
            self.assertTrue(d.offers_maximising(self.window), "maximising is not offered")
        if d.maximise(self.window):
            wait_for(lambda: (c := controls()) and c[0][0] * c[0][1] > size[0] * size[1], 10, 0.2)
            larger, placed = settled()
            print("maximised: client %dx%d" % larger)
            self.assertGreater(larger[0] * larger[1], size[0] * size[1])
            check(larger, placed)
        d.close_window(self.window)
        self.assertEqual(self.exit_status(), 0)

    def test_without_a_chinese_font(self):
        """On a system with no font for the captions: the window still opens,
        and the terminal names the package to install, once."""
        if not isinstance(TARGET, LinuxProgram):
            self.skipTest("the Linux program's fonts")
        folder = tempfile.mkdtemp(prefix="comtester-e2e-fonts-")
        self.addCleanup(shutil.rmtree, folder)
        latin = "/usr/share/fonts/truetype/dejavu"
        self.assertTrue(os.path.isdir(latin), "no DejaVu fonts (fonts-dejavu-core)")
        with open(os.path.join(folder, "fonts.conf"), "w") as f:
            f.write('<?xml version="1.0"?>\n<fontconfig><dir>%s</dir><cachedir>%s</cachedir>'
                    '</fontconfig>\n' % (latin, folder))
        env = dict(os.environ, FONTCONFIG_FILE=os.path.join(folder, "fonts.conf"))
        self.process = subprocess.Popen([*TARGET.emulator, TARGET.program], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.window = self.desktop.window("Form1")
        self.desktop.close_window(self.window)
        self.assertEqual(self.exit_status(), 0)
        said = [line for line in self.process.stderr.read().splitlines() if "font" in line]
        self.assertEqual(said, ["comtester shows its captions in Chinese, and no font here has "
                                "them: install the package fonts-noto-cjk."])

    def test_closing_by_the_frame(self):
        self.start()
        subprocess.run(["wmctrl", "-c", "Form1"], timeout=30)
        self.assertEqual(self.exit_status(), 0)


if __name__ == "__main__":
    args = sys.argv[1:]
    kind = args[0] if args else None
    tests = [a for a in args if a.startswith("test_")]
    servers = [a.split("=", 1)[1] for a in args if a.startswith("--display-server=")]
    for a in args:
        if a.startswith("--screen="):
            SCREEN = a.split("=", 1)[1]
        elif a.startswith("--scale="):
            SCALE = a.split("=", 1)[1]
    FLOATING = "--floating" in args
    args = [a for a in args
            if not a.startswith(("test_", "--display-server=", "--screen=", "--scale=", "--floating"))]
    DISPLAY_SERVER = servers[-1] if servers else "x11"
    if DISPLAY_SERVER not in ("x11", "wayland") or servers and kind != "linux":
        sys.exit("usage: --display-server=x11|wayland, for the Linux program")
    if SCREEN:
        tests = tests or LAYOUT_TESTS
        if os.environ.get("E2E_BUS") != "own":
            # A private session bus, gone with the run, for the accessibility
            # bus, whose socket goes in a private runtime folder: under a
            # shared home, runs side by side would take each other's.
            runtime = tempfile.mkdtemp(prefix="comtester-e2e-runtime-", dir="/tmp")
            os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv],
                       dict(os.environ, E2E_BUS="own", XDG_RUNTIME_DIR=runtime,
                            E2E_RUNTIME=runtime))
        if os.environ.get("E2E_RUNTIME"):
            atexit.register(shutil.rmtree, os.environ["E2E_RUNTIME"], True)
    if DISPLAY_SERVER == "wayland":
        tests = tests or WAYLAND_TESTS
    emulator = None
    if kind == "linux" and args[1:2] == ["--arch"] and args[2:3] and args[2] in EMULATORS:
        emulator = EMULATORS[args[2]]
        del args[1:3]
        if not shutil.which(emulator):
            sys.exit("missing %s: scripts/install-dependencies.sh installs qemu-user-static" % emulator)
    if not (kind == "linux" and len(args) in (2, 3) or
            kind == "windows" and len(args) == 4 and args[1] in ARCHES):
        sys.exit("usage: e2e.py linux [--arch arm64|armhf] PROGRAM [LAUNCHER] "
                 "[--display-server=x11|wayland] [TEST...] | "
                 "windows x86_64|i686 PROGRAM WINDOW_DRIVER [TEST...]")
    for tool in ("Xvfb", "openbox", "xdotool", "wmctrl", "xclip", "xprop", "import"):
        if not shutil.which(tool):
            sys.exit("missing %s: scripts/install-dependencies.sh installs it" % tool)
    if kind == "linux":
        TARGET = LinuxProgram(*args[1:], emulator=emulator)
    else:
        reason = cannot_run(args[1])
        if reason:
            print(reason)
            sys.exit(0)
        TARGET = WindowsProgram(*args[1:])
    loader = unittest.TestLoader()
    suite = (unittest.TestSuite(EndToEnd(t) for t in tests) if tests
             else loader.loadTestsFromTestCase(EndToEnd))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
