"""The desktops the window tests run on, each started on its own and gone
with the test, driven as a user drives them and read back as a user reads
them (the clipboard, a screenshot):

    XDesktop        Xvfb on a free display, with openbox for frames and focus;
                    xdotool for keys and clicks; a panel's height kept free
                    at the bottom, as openbox's margins keep it
    WaylandDesktop  sway, headless, as a normal user; wtype for keys

Both take the screen's size; each sets the environment variables that put
the programs started after it on it. on_own_session_bus() gives a harness the
private D-Bus session a screen reader's accessibility bus needs.
"""
import atexit
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

from support import NOBODY, patience, require, wait_for


class XDesktop:
    """Xvfb on a free display, with openbox for frames and focus."""

    def __init__(self, screen=(1280, 1024), panel=0):
        require("Xvfb", "openbox", "xdotool", "wmctrl", "xclip", "xprop", "xwininfo", "import")
        self.size = screen
        self.panel = panel
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
             "-screen", "0", "%dx%dx24" % screen],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], patience(30))[0]:
                raise RuntimeError("Xvfb named no display")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb ended")
            number += chunk
        os.close(read_end)
        os.environ["DISPLAY"] = ":" + number.decode().strip()
        # openbox's files, in a folder of our own: the mark it leaves once it
        # has started, and its configuration where one is needed.
        self.folder = tempfile.mkdtemp(prefix="comtester-openbox-")
        atexit.register(shutil.rmtree, self.folder, True)
        started = os.path.join(self.folder, "started")
        options = ["--startup", "touch '%s'" % started]
        if panel:
            # The work area openbox announces (_NET_WORKAREA) stops above it.
            options += ["--config-file", os.path.join(self.folder, "rc.xml")]
            with open(options[-1], "w") as f:
                f.write('<?xml version="1.0"?>\n<openbox_config xmlns="http://openbox.org/3.4/rc">'
                        '<margins><top>0</top><bottom>%d</bottom><left>0</left><right>0</right>'
                        '</margins></openbox_config>\n' % panel)
        self.openbox = subprocess.Popen(["openbox", "--sm-disable", *options],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Frames, focus and closing by the frame need it in charge: once it
        # has started, which it says by running its startup command after it
        # has taken over the screen and before it takes events (naming
        # itself on the root window comes earlier).
        if not wait_for(lambda: os.path.exists(started), 30, 0.05):
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
        wait_for(lambda: self.xdotool("getactivewindow") == window)

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
        return wait_for(read) or ""

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-window", "root", path], check=True, timeout=30)

    def identity(self, window):
        """The instance part of the window's WM_CLASS."""
        prop = subprocess.run(["xprop", "-id", window, "WM_CLASS"], capture_output=True, text=True,
                              timeout=30).stdout
        return prop.split('"')[1] if prop.count('"') >= 2 else prop

    def fills_its_place(self, window, background, inside):
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
        """The window's place with its frame, and the screen's less the panel,
        as (x, y, w, h)."""
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True,
                              timeout=30).stdout
        value = lambda name: int(info.split(name + ":")[1].split()[0])
        prop = subprocess.run(["xprop", "-id", window, "_NET_FRAME_EXTENTS"], capture_output=True,
                              text=True, timeout=30).stdout
        left, right, top, bottom = (int(v) for v in prop.split("=")[1].split(","))
        return ((value("Absolute upper-left X") - left, value("Absolute upper-left Y") - top,
                 value("Width") + left + right, value("Height") + top + bottom),
                (0, 0, self.size[0], self.size[1] - self.panel))

    def pid(self, window):
        return int(self.xdotool("getwindowpid", window))


class WaylandDesktop:
    """sway, headless, run as nobody with a runtime folder of its own: one
    output of 1280x800, the default config's tiling. One virtual keyboard
    stays plugged in for the whole run: a keyboard that appears for each key
    loses its first one."""

    USER = "nobody"

    def __init__(self, screen=(1280, 800), scale="1", floating=False):
        require("sway", "swaymsg", "wtype", "grim", "wl-copy", "wl-paste", "convert")
        self.folder = tempfile.mkdtemp(prefix="comtester-sway-", dir="/tmp")  # sockets: a short path
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
            [*NOBODY, "sway",
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
        wait_for(lambda: "virtual_keyboard" in self.swaymsg("-t", "get_inputs"))

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
        wait_for(lambda: any(n["id"] == window and n.get("focused") for n in self.windows()))

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
        return wait_for(read) or ""

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["grim", path], check=True, timeout=30)

    def identity(self, window):
        return next((n.get("app_id") for n in self.windows() if n["id"] == window), None)

    def pid(self, window):
        return next(n["pid"] for n in self.windows() if n["id"] == window)

    def fills_its_place(self, window, background, inside):
        """Whether the window took the size of its tile: the tile's corners
        show the window's `background` point's colour, and the `inside` point
        does not (a window that kept a smaller size shows the desktop there,
        or sits elsewhere). Points are from the window's top left."""
        node = next(n for n in self.windows() if n["id"] == window)
        left = node["rect"]["x"] + node["window_rect"]["x"]
        top = node["rect"]["y"] + node["window_rect"]["y"]
        width, height = node["window_rect"]["width"], node["window_rect"]["height"]
        places = [background, inside, (4, 4), (width - 5, 4), (4, height - 5),
                  (width - 5, height - 5)]
        colour, other, *corners = self.pixels([(left + x, top + y) for x, y in places])
        return other != colour and all(c == colour for c in corners)

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



def on_own_session_bus():
    """Runs the harness again, from its start, in a private D-Bus session
    that ends with it, where the accessibility bus starts on demand, its
    socket in a runtime folder of the run's own: under a shared home, runs
    side by side would take each other's. Returns in the run inside."""
    if os.environ.get("COMTESTER_TEST_BUS") != "own":
        runtime = tempfile.mkdtemp(prefix="comtester-runtime-", dir="/tmp")  # sockets: a short path
        os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv],
                   dict(os.environ, COMTESTER_TEST_BUS="own", XDG_RUNTIME_DIR=runtime))
    atexit.register(shutil.rmtree, os.environ["XDG_RUNTIME_DIR"], True)
