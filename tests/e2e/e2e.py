#!/usr/bin/env python3
"""End-to-end tests of the shipped programs, exactly as built.

    e2e.py linux [--arch ARCH] PROGRAM [LAUNCHER] [--display-server=x11|wayland]
           [--screen=WxH [--scale=S] [--panel=H] [--floating]] [TEST...]
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
                            pseudo-terminals, in a fresh Wine prefix or the
                            one E2E_WINE_PREFIX names, made once and kept

TEST names the cases to run (test_typical_use, ...); all of them by default.
With --screen, the Linux program on a screen of that size at that scale (Qt's
on X11, the output's on sway; --panel: a panel H pixels high at the bottom of
the X11 screen; --floating: sway floats the window) and the
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

On a machine that cannot execute the architecture's programs the run says so
with CANNOT_RUN_MARK, which CTest counts as a skip for x86-64 and a failure
for i686: on a kernel without 32-bit support the i686 cases run in a guest
(tests/guest), not here.
"""
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import ROOT, patience, wait_for  # noqa: E402  the tests' shared support
from support.desktops import WaylandDesktop, XDesktop, on_own_session_bus  # noqa: E402
from support.lines import Line, locked_pty  # noqa: E402
from support.wine import ARCHES, Prefix, cannot_run  # noqa: E402

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
SCREEN, SCALE, PANEL, FLOATING = None, "1", 0, False  # --screen, --scale, --panel, --floating
# Each control's designed size, by role and name: none may be cut.
DESIGNED = {("push button", "開啟通訊埠"): (145, 81), ("push button", "結束系統"): (137, 81),
            ("push button", "傳送資料"): (169, 57), ("push button", "接收資料"): (169, 57),
            ("label", "傳送資料"): (48, 13), ("label", "接收資料"): (48, 13)}
# The least client area at which every control keeps its designed size; below
# it the buttons and the port group give way, down to what their captions need.
ROOMY = (491, 271)
FONT_PIXELS = 11  # the form's font at 96 PPI: a Chinese character's width
SCREENSHOT = os.environ.get("E2E_SCREENSHOT")  # where to put a picture of the window


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
        wait_for(lambda: desktop.gone(caption))
        return (parts[0], parts[1]) if len(parts) >= 2 else (copied, "")

    def hold(self, line):
        """Another process holding the port."""
        return subprocess.Popen(["python3", "-c",
                                 "import fcntl,os,sys,time\n"
                                 "fd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                                 "fcntl.flock(fd,fcntl.LOCK_EX)\n"
                                 "print('held',flush=True)\n"
                                 "time.sleep(600)", line.path], stdout=subprocess.PIPE)


class WindowsProgram:
    def __init__(self, arch, program, driver):
        self.program, self.driver = program, driver
        self.prefix = Prefix(arch, os.environ.get("E2E_WINE_PREFIX"))

    def close(self):
        self.prefix.close()

    def start(self, com1, com2):
        self.prefix.map_ports(com1, com2)
        return self.prefix.start(self.program)

    def message_box(self, desktop, caption):
        """(caption, text) of the message box, read by the test driver, then dismissed."""
        desktop.window(caption)
        answer = subprocess.run([self.prefix.wine, self.driver],
                                input="messagebox {0} {1}\ndismiss {0}\n".format(
                                    caption.replace(" ", "\\ "), int(patience(30) * 1000)),
                                capture_output=True, text=True,
                                timeout=patience(120)).stdout.splitlines()
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
            cls.desktop = XDesktop(screen or (1280, 1024), PANEL)

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

    def receive_until(self, expected, deadline=30.0):
        """Presses receive until the box shows `expected` (the driver may not
        have counted a peer's bytes the moment they were written)."""
        shown = ""
        end = time.monotonic() + patience(deadline)
        while time.monotonic() < end:
            self.desktop.click(self.window, BUTTON_RECEIVE)
            shown = self.receive_box()
            if shown:
                break
        return shown

    def exit_status(self, deadline=30.0):
        try:
            return self.process.wait(patience(deadline))
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
        self.assertTrue(wait_for(self.com2.near_end_closed), "the port was not released")

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
        exit_button = (BUTTON_EXIT[0] + BUTTON_EXIT[2] // 2, BUTTON_EXIT[1] + BUTTON_EXIT[3] // 2)
        self.assertTrue(wait_for(lambda: d.fills_its_place(self.window, (250, 80), exit_button),
                                 20, 0.2),
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
        self.assertTrue(wait_for(self.com1.near_end_closed), "the port was not released")

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

        def find_form():
            return next((w for app in pyatspi.Registry.getDesktop(0)
                         if app is not None and app.name == "comtester"
                         for w in app if w is not None and w.name == "Form1"), None)

        def controls():
            """The window's size and its controls' (role, name, x, y, w, h)."""
            form = find_form()
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

        def takes(frame, area, axis):
            """Whether the window takes the area's whole width (2) or height (3):
            scaled, less a pixel of the toolkit's at each side."""
            return frame[axis] >= area[axis] - 2 * float(SCALE) - 1

        def check(size, placed, frame=None, area=None):
            """`frame` and `area` given: a control may be cut at the right or
            the bottom only where the window has taken the whole area."""
            width, height = size
            self.assertEqual(len(placed), 9, placed)
            # In the toolkit's pixels or the screen's: a label, never smaller, says which.
            scale = next(c[4] for c in placed if c[:2] == ("label", "傳送資料")) / 48
            roomy = width >= ROOMY[0] * scale - 1 and height >= ROOMY[1] * scale - 1
            for i, (role, name, left, top, cw, ch) in enumerate(placed):
                self.assertTrue(left >= 0 and top >= 0, "%s %s at %r" % (role, name, placed[i][2:]))
                for right, edge, axis in ((left + cw > width, width, 2), (top + ch > height, height, 3)):
                    self.assertFalse(right and not (frame and takes(frame, area, axis)),
                                     "%s %s at %r is not inside %dx%d" % (
                                         role, name, placed[i][2:], width, height))
                for other in placed[i + 1:]:
                    self.assertFalse(left < other[2] + other[4] and other[2] < left + cw and
                                     top < other[3] + other[5] and other[3] < top + ch,
                                     "%s %s on %r" % (role, name, (placed[i], other)))
                if (role, name) in DESIGNED:
                    dw, dh = DESIGNED[role, name]
                    if roomy or role == "label":
                        self.assertTrue(abs(cw - dw * scale) <= 1 and abs(ch - dh * scale) <= 1,
                                        "%s %s is %dx%d" % (role, name, cw, ch))
                    else:  # its caption whole, each character a square of the font's size
                        self.assertTrue(len(name) * FONT_PIXELS * scale < cw <= dw * scale + 1 and
                                        FONT_PIXELS * scale < ch <= dh * scale + 1,
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
        print("controls: " + "; ".join("%s %s %d,%d %dx%d" % c for c in placed))
        self.assertTrue(sx <= x and sy <= y and x + w <= sx + sw and y + h <= sy + sh,
                        "the window %r is not inside the screen %r" % ((x, y, w, h), (sx, sy, sw, sh)))
        # Where the window has taken the whole area, below the layout's least.
        whole = takes((x, y, w, h), (sx, sy, sw, sh), 2) and takes((x, y, w, h), (sx, sy, sw, sh), 3)
        check(size, placed, (x, y, w, h), (sx, sy, sw, sh))
        if whole:
            self.assert_tab_reaches_every_control(find_form)
        # Made as small as the user can: it stops at a size that still shows everything.
        if not whole and d.resize(self.window, 100, 80):
            wait_for(lambda: (c := controls()) and c[0] != size, 30, 0.2)
            smaller, placed = settled()
            print("made smaller by the user: client %dx%d" % smaller)
            self.assertLess(smaller[0] * smaller[1], size[0] * size[1])
            check(smaller, placed)
        # Maximised, where the desktop offers it: the boxes take the screen.
        if DISPLAY_SERVER == "x11":
            self.assertTrue(d.offers_maximising(self.window), "maximising is not offered")
        if d.maximise(self.window):
            if not whole:
                wait_for(lambda: (c := controls()) and c[0][0] * c[0][1] > size[0] * size[1], 30, 0.2)
            larger, placed = settled()
            print("maximised: client %dx%d" % larger)
            if not whole:
                self.assertGreater(larger[0] * larger[1], size[0] * size[1])
            frame = d.frame_and_screen(self.window)
            self.assertTrue(frame[0][2] <= frame[1][2] and frame[0][3] <= frame[1][3],
                            "maximised, the window %r is larger than the area %r" % frame)
            check(larger, placed, *frame)
        d.close_window(self.window)
        self.assertEqual(self.exit_status(), 0)

    def assert_tab_reaches_every_control(self, find_form):
        """Tab comes to each of the window's seven stops in turn."""
        import pyatspi

        def focused():
            stack = [find_form()]
            while stack:
                node = stack.pop()
                if node is not None:
                    if node.getState().contains(pyatspi.STATE_FOCUSED) and node.name != "Form1":
                        return node.getRoleName(), node.name
                    stack.extend(node)
            return None
        self.desktop.activate(self.window)
        seen = [wait_for(focused, 30, 0.1)]  # a key before the focus is there is lost
        for _ in range(7):
            self.desktop.keys("Tab")
            wait_for(lambda: focused() not in (None, seen[-1]), 10, 0.1)
            seen.append(focused())
        print("Tab: %s" % ", ".join("%s %s" % stop for stop in seen[1:] if stop))
        self.assertEqual(len(set(seen[1:])), 7, seen)
        self.assertEqual(seen[-1], seen[0], "after seven, Tab is back where it began")

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
        elif a.startswith("--panel="):
            PANEL = int(a.split("=", 1)[1])
    FLOATING = "--floating" in args
    args = [a for a in args
            if not a.startswith(("test_", "--display-server=", "--screen=", "--scale=", "--panel=",
                                 "--floating"))]
    DISPLAY_SERVER = servers[-1] if servers else "x11"
    if DISPLAY_SERVER not in ("x11", "wayland") or servers and kind != "linux":
        sys.exit("usage: --display-server=x11|wayland, for the Linux program")
    if SCREEN:
        tests = tests or LAYOUT_TESTS
        on_own_session_bus()  # the screen reader's way in
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
