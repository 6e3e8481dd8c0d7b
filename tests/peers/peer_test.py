#!/usr/bin/env python3
"""Ours beside the serial programs Linux users run, on one pseudo-terminal
line: each peer that holds a line its own way (minicom's lock file,
QSerialPort's lock file and TIOCEXCL, screen's TIOCEXCL, picocom's flock),
started before ours and after it, as root and as nobody. Prints the matrix of
who held the line and fails where both did, except where the peer checks
nothing that an Open can set (screen run as root). Also checks that a peer's
exclusive flag survives our close, and that our lock file goes with us.

"Ours" is the serial link itself (tests/support/serial_driver.cpp built for
Linux) started through scripts/comtester-ports, so that the line is
/dev/ttyS0 in its private /dev while the peers open /dev/pts/N.

Usage: peer_test.py SERIAL_DRIVER QSERIALPORT_PEER
"""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import NOBODY, ROOT, patience, require, wait_for  # noqa: E402  the tests' shared support
from support.lines import Line  # noqa: E402

LAUNCHER = os.path.join(ROOT, "scripts", "comtester-ports")
TMUX = ["tmux", "-L", "comtester-peers-%d" % os.getpid()]
DRIVER, QT_PEER = sys.argv[1:3]

# The peers that set TIOCEXCL, whose flag must outlive our close.
SETS_EXCLUSIVE = {"qserialport", "screen"}
# Where both may hold the line: the peer checks nothing ours can set.
BOTH_EXPECTED = {("screen", "ours first", "root")}


def lock_file(line):
    """The UUCP-style lock file the peers and ours take for `line`, none of
    it left from an earlier run that failed: the number is new to this one."""
    lock = "/var/lock/LCK.." + line.path[len("/dev/"):].replace("/", "_")
    if os.path.exists(lock):
        os.unlink(lock)
    return lock


def alive(pid):
    if not pid:
        return False
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def has_open(pid, path):
    """Whether `pid` or a process it started (screen's own server) has `path` open."""
    children = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                children.setdefault(int(stat.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
        except (OSError, ValueError):
            pass
    tree = [pid]
    for each in tree:
        tree += children.get(each, [])
    for each in tree:
        try:
            if any(os.readlink("/proc/%d/fd/%s" % (each, fd)) == path
                   for fd in os.listdir("/proc/%d/fd" % each)):
                return True
        except OSError:
            pass
    return False


class Peer:
    """One peer program holding `line`, or refused it."""

    # In a terminal of tmux's: what each shows once it holds the line.
    TERMINAL = {"minicom": (["minicom", "-D"], "Press CTRL-A Z"),
                "picocom": (["picocom"], "Terminal ready"),
                "screen": (["screen"], None)}

    def __init__(self, kind, line, user, scratch):
        self.kind, self.line = kind, line
        as_user = NOBODY if user == "nobody" else []
        if kind == "qserialport":
            self.process = subprocess.Popen(as_user + [QT_PEER, line.path], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, text=True)
            self.pid = self.process.pid
            return
        self.session = "%s-%d" % (kind, os.getpid())
        command, self.ready = self.TERMINAL[kind]
        # screen keeps its sockets in SCREENDIR, which must be the user's own.
        env = ["env", "SCREENDIR=" + scratch, "HOME=" + scratch]
        subprocess.run(TMUX + ["new-session", "-d", "-x", "100", "-y", "30", "-s", self.session,
                               " ".join(["exec"] + as_user + env + command + [line.path])], check=True)
        # Nothing to show when the peer has already ended.
        pane = subprocess.run(TMUX + ["display", "-p", "-t", self.session, "#{pane_pid}"],
                              capture_output=True, text=True).stdout.strip()
        self.pid = int(pane) if pane else 0

    def settle(self):
        """'held' once the peer shows it holds the line, 'refused' once it
        has given up (ended, or said so)."""
        if self.kind == "qserialport":
            said = self.process.stdout.readline().strip()
            self.said = said
            return "held" if said == "held" and has_open(self.pid, self.line.path) else "refused"

        def verdict():
            if not alive(self.pid):
                return "refused"
            if not has_open(self.pid, self.line.path):
                return None
            if self.ready is None:  # screen shows nothing, but sets the flag after its open
                return "held" if self.line.exclusive() else None
            pane = subprocess.run(TMUX + ["capture-pane", "-p", "-t", self.session],
                                  capture_output=True, text=True).stdout
            return "held" if self.ready in pane else None
        return wait_for(verdict) or "undecided"

    def holds(self):
        return alive(self.pid) and has_open(self.pid, self.line.path)

    def stop(self):
        if self.kind == "qserialport":
            self.process.stdin.close()
            self.process.wait(patience(30))
        else:
            subprocess.run(TMUX + ["kill-session", "-t", self.session], capture_output=True)
        wait_for(lambda: not alive(self.pid))


class Ours:
    """The serial link on the line as COM1, through the port launcher."""

    def __init__(self, line, user):
        as_user = NOBODY if user == "nobody" else []
        self.process = subprocess.Popen(as_user + [LAUNCHER, line.path, "--", DRIVER],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == "ready"

    def ask(self, command, answer):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        while True:
            reply = self.process.stdout.readline().strip()
            if reply.startswith(answer) or not reply:
                return reply

    def open(self):
        return "held" if self.ask("open 0", "open") == "open 1" else "refused"

    def exit(self):
        self.process.stdin.write("exit\n")
        self.process.stdin.close()
        return self.process.wait(patience(30))


def case(kind, order, user, failures):
    line = Line(for_anyone=True)
    lock = lock_file(line)
    scratch = tempfile.mkdtemp(prefix="comtester-peer-", dir="/tmp")  # screen's sockets: a short path
    atexit.register(shutil.rmtree, scratch, True)  # gone with the run, however it ends
    if user == "nobody":
        os.chown(scratch, 65534, 65534)
    os.chmod(scratch, 0o700)
    ours = Ours(line, user)
    if order == "theirs first":
        peer = Peer(kind, line, user, scratch)
        theirs = peer.settle()
        mine = ours.open()
    else:
        mine = ours.open()
        # Held for an hour, say: QLockFile takes a lock file so old for stale
        # unless its holder keeps it flock'ed.
        if os.path.exists(lock):
            os.utime(lock, (time.time() - 3600, time.time() - 3600))
        peer = Peer(kind, line, user, scratch)
        theirs = peer.settle()
    # Neither gave up later, as the other ran beside it.
    if theirs == "held" and not peer.holds():
        theirs = "held, then gave up"
    ours_lock = os.path.exists(lock) and mine == "held"

    holders = [name for name, state in (("comtester", mine), (kind, theirs)) if state == "held"]
    verdict = " and ".join(holders) or "nobody"
    print("%-12s %-12s %-7s %s" % (kind, order, user, verdict), flush=True)

    def check(condition, what):
        if not condition:
            failures.append("%s, %s, %s: %s" % (kind, order, user, what))
            print("  FAIL: " + what, flush=True)

    both = (kind, order, user) in BOTH_EXPECTED
    check(len(holders) == (2 if both else 1), "held by " + verdict)
    if mine == "held":
        check(ours_lock, "ours held the line without its lock file " + lock)
    # A tty has one exclusive flag: where screen as root joins ours, it is
    # ours, and goes with us.
    theirs_flag = order == "theirs first" and theirs == "held" and kind in SETS_EXCLUSIVE
    if theirs_flag:
        check(line.exclusive(), "the peer's exclusive flag was not set")
    check(ours.exit() == 0, "ours did not end with status 0")
    if theirs_flag:
        check(line.exclusive(), "our close cleared the peer's exclusive flag")
    if mine == "held":
        check(not os.path.exists(lock), "our lock file outlived us")
    peer.stop()
    check(not os.path.exists(lock), "a lock file outlived both programs")
    line.close()
    shutil.rmtree(scratch, ignore_errors=True)


def main():
    require("minicom", "picocom", "screen", "tmux", "bwrap", "setpriv")
    failures = []
    try:
        for kind in ("minicom", "qserialport", "screen", "picocom"):
            for order in ("theirs first", "ours first"):
                for user in ("root", "nobody"):
                    case(kind, order, user, failures)
    finally:
        subprocess.run(TMUX + ["kill-server"], capture_output=True)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
