#!/usr/bin/env python3
"""Paste to last byte: a text goes on the clipboard, Ctrl+A and Ctrl+V in the
send box, a click on "傳送資料"; timed from the paste to the last byte at the
peer. Each run starts the program afresh, on the end-to-end tests' private
Xvfb desktop and lines (tests/support), driven by xdotool as a user would.

    paste_bench.py RUNS linux PROGRAM
    paste_bench.py RUNS windows ARCH PROGRAM WINDOW_DRIVER

prints one line per case, "CASE_s=MEDIAN runs=N", or "CASE_s=>DEADLINE" when
a run had not delivered by then. The text is letters A to Z over and over:
one line of 64 KiB, 256 KiB and 1 MiB, and 1 MiB in lines of 80 letters.
"""
import os
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
sys.path[:0] = [TESTS, os.path.join(TESTS, "e2e")]
import e2e  # noqa: E402  the programs as the end-to-end tests start them, the controls' places
from support import require, wait_for  # noqa: E402  the tests' shared support
from support.desktops import XDesktop  # noqa: E402
from support.lines import Line  # noqa: E402
from support.wine import cannot_run  # noqa: E402

DEADLINE = float(os.environ.get("BENCH_PASTE_DEADLINE", "120"))
KIB = 1024
CASES = [("paste_line_64k", 64 * KIB, None), ("paste_line_256k", 256 * KIB, None),
         ("paste_line_1m", 1024 * KIB, None), ("paste_lines80_1m", 1024 * KIB, 80)]


def text(size, width):
    letters = bytes(ord("A") + i % 26 for i in range(size))
    if not width:
        return letters
    lines = b"\r\n".join(letters[i:i + width] for i in range(0, size, width))
    return lines[:size]


def received(line, count, deadline):
    """Reads the far end until `count` bytes or the deadline; the bytes and
    when the last came."""
    got = bytearray()
    last = None
    end = time.monotonic() + deadline
    while len(got) < count and time.monotonic() < end:
        if select.select([line.master], [], [], 0.05)[0]:
            try:
                got += os.read(line.master, 1 << 16)
                last = time.monotonic()
            except OSError:
                time.sleep(0.05)
    return bytes(got), last


class Clipboard:
    """Puts a text on the clipboard the way the target's users copy: another
    X client on Linux (xclip, holding it while it lives), the window driver
    under Wine."""

    def __init__(self, target, data, folder):
        self.process = None
        path = os.path.join(folder, "paste.txt")
        with open(path, "wb") as f:
            f.write(data)
        if isinstance(target, e2e.WindowsProgram):
            self.process = subprocess.Popen([target.prefix.wine, target.driver],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                            stderr=target.prefix.log, text=True)
            self.process.stdin.write("clipboard Z:%s\n" % path)
            self.process.stdin.flush()
            for answer in self.process.stdout:
                if answer.startswith(("ok", "error")):
                    break
            if not answer.startswith("ok"):
                raise RuntimeError("window driver: " + answer)
        else:
            self.process = subprocess.Popen(["xclip", "-selection", "clipboard", "-i", "-quiet", path],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            want = data.decode()
            if not wait_for(lambda: subprocess.run(
                    ["xclip", "-selection", "clipboard", "-o"], capture_output=True,
                    timeout=30).stdout.decode() == want, 30, 0.1):
                raise RuntimeError("xclip did not take the text")

    def close(self):
        self.process.kill()
        self.process.wait()


def one_run(desktop, target, data, folder):
    """Seconds from the paste to the last byte at the peer, or None."""
    com1, com2 = Line(), Line()
    process = None
    clipboard = None
    try:
        process = target.start(com1.path, com2.path)
        window = desktop.window("Form1")
        desktop.activate(window)
        desktop.click(window, e2e.BUTTON_OPEN)
        desktop.click_inside(window, e2e.MEMO_SEND)
        clipboard = Clipboard(target, data, folder)
        desktop.activate(window)
        x, y, w, h = e2e.BUTTON_SEND
        start = time.monotonic()
        # One xdotool: the keys and the click queue up behind the paste.
        subprocess.run(["xdotool", "key", "--clearmodifiers", "ctrl+a", "ctrl+v",
                        "mousemove", "--window", window, str(x + w // 2), str(y + h // 2),
                        "click", "1"], check=True, timeout=30)
        got, last = received(com1, len(data), DEADLINE)
        if got != data[:len(got)] or com2.drain(0.05):
            raise RuntimeError("the peer got other bytes than pasted")
        return last - start if len(got) == len(data) else None
    finally:
        if clipboard:
            clipboard.close()
        if process and process.poll() is None:
            process.kill()
            process.wait()
        # The next run must not find this run's window.
        wait_for(lambda: desktop.gone("Form1"), 10)
        com1.close()
        com2.close()


def main():
    args = sys.argv[1:]
    if len(args) < 3 or not args[0].isdigit() or args[1] not in ("linux", "windows"):
        sys.exit(__doc__)
    runs = int(args[0])
    require("Xvfb", "openbox", "xdotool", "xclip")
    if args[1] == "linux":
        target = e2e.LinuxProgram(args[2])
    else:
        reason = cannot_run(args[2])
        if reason:
            sys.exit(reason)
        target = e2e.WindowsProgram(*args[2:5])
    only = os.environ.get("BENCH_PASTE_CASES", "").split()
    desktop = XDesktop()
    folder = tempfile.mkdtemp(prefix="comtester-paste-")
    try:
        for name, size, width in CASES:
            if only and name not in only:
                continue
            data = text(size, width)
            times = []
            for _ in range(runs):
                seconds = one_run(desktop, target, data, folder)
                if seconds is None:
                    break
                times.append(seconds)
            if len(times) < runs:
                print("%s_s=>%g runs=%d" % (name, DEADLINE, len(times)), flush=True)
            else:
                print("%s_s=%.2f runs=%d" % (name, statistics.median(times), runs), flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if hasattr(target, "close"):
            target.close()
        desktop.close()


if __name__ == "__main__":
    main()
