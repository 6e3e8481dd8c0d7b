#!/usr/bin/env python3
"""Start-up of one GUI program on sway: startwatch.cpp's counterpart on a
Wayland compositor, with the same arguments and output.

    swaywatch.py NAME SETTLE_MS PROGRAM [ARGS...]
    prints: startup_ms=<exec to window shown> peak_kib=<ru_maxrss> cpu_ms=<user+sys>

Subscribed to sway's window events before the start, it waits for a window of
that title, a Wayland or an X11 (Xwayland) one, to appear; then lets it
settle, ends it and reports as startwatch does.
"""
import json
import os
import select
import signal
import socket
import struct
import sys
import time

DEADLINE = 20.0
SUBSCRIBE = 2  # sway's IPC message type


def fail(what):
    sys.exit("swaywatch: " + what)


def main():
    if len(sys.argv) < 4:
        fail("usage: swaywatch.py NAME SETTLE_MS PROGRAM [ARGS...]")
    name, settle, program = sys.argv[1], int(sys.argv[2]) / 1000, sys.argv[3:]
    ipc = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    ipc.connect(os.environ["SWAYSOCK"])

    def read(count):
        data = b""
        while len(data) < count:
            chunk = ipc.recv(count - len(data))
            if not chunk:
                fail("sway closed its IPC socket")
            data += chunk
        return data

    def message():
        length, _ = struct.unpack("=II", read(14)[6:])  # "i3-ipc", length, type
        return json.loads(read(length))

    topic = b'["window"]'
    ipc.sendall(b"i3-ipc" + struct.pack("=II", len(topic), SUBSCRIBE) + topic)
    if not message().get("success"):
        fail("sway refused the subscription")

    start = time.monotonic()
    child = os.posix_spawn(program[0], program, os.environ)
    while True:
        if os.waitpid(child, os.WNOHANG)[0] == child:
            fail("the program ended before its window was shown")
        left = start + DEADLINE - time.monotonic()
        if left <= 0:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
            fail("no window named %s was shown in time" % name)
        if not select.select([ipc], [], [], min(left, 0.05))[0]:
            continue
        event = message()
        if event.get("change") in ("new", "title") and event.get("container", {}).get("name") == name:
            shown = time.monotonic()
            break

    # The first paint and whatever follows at once belong to the start-up's peak.
    time.sleep(settle)
    if os.waitpid(child, os.WNOHANG)[0] == child:
        fail("the program ended on its own after showing")
    os.kill(child, signal.SIGTERM)
    _, status, usage = os.wait4(child, 0)
    if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGTERM):
        fail("the program did not end by SIGTERM")
    print("startup_ms=%.2f peak_kib=%d cpu_ms=%.2f" % ((shown - start) * 1e3, usage.ru_maxrss,
                                                      (usage.ru_utime + usage.ru_stime) * 1e3))


if __name__ == "__main__":
    main()
