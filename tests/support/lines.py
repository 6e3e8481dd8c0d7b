"""Pseudo-terminal pairs: the test holds the far end and plays the device;
the near end, closed again, is what a program opens as its port."""
import array
import fcntl
import os
import select
import sys
import termios
import time
import tty

from support import patience, wait_for

TIOCGEXCL = 0x80045440  # whether a tty is marked exclusive; termios doesn't name it
TIOCGPTN = 0x80045430  # a pair's number


class Line:
    """A raw pair (Wine reports a tty's settings as the port's) whose far end
    never blocks. `for_anyone`: the near end open to every user, for
    programs run as nobody."""

    def __init__(self, for_anyone=False):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        tty.setraw(slave)
        os.close(slave)
        if for_anyone:
            os.chmod(self.path, 0o666)
        os.set_blocking(self.master, False)

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def write(self, data):
        os.write(self.master, data)

    def read(self, count, deadline=30.0):
        """Up to `count` bytes, as many as come within `deadline` seconds
        (stretched by the machine's slowdown)."""
        return self._read(count, patience(deadline))

    def drain(self, quiet=0.3):
        """Whatever comes within `quiet` seconds."""
        return self._read(1 << 20, quiet)

    def _read(self, count, seconds):
        got = b""
        end = time.monotonic() + seconds
        while len(got) < count and time.monotonic() < end:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    got += os.read(self.master, count - len(got))
                except OSError:  # the near end is closed: nothing more comes
                    time.sleep(0.05)
        return got

    def _near(self, query):
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)  # root passes TIOCEXCL
        try:
            return query(fd)
        finally:
            os.close(fd)

    def queued(self):
        """How many bytes wait in the near end's input queue."""
        return self._near(lambda fd: int.from_bytes(
            fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder))

    def wait_queued(self, count, deadline=30.0):
        """Waits until the near end's input queue holds `count` bytes: a
        peer's bytes reach it a moment after they are written."""
        return wait_for(lambda: self.queued() >= count, deadline)

    def exclusive(self):
        """Whether the near end is marked exclusive (TIOCEXCL)."""
        flag = array.array("i", [0])
        self._near(lambda fd: fcntl.ioctl(fd, TIOCGEXCL, flag))
        return flag[0] == 1

    def near_end_closed(self):
        """True once no one holds the near end open any more."""
        events = select.poll()
        events.register(self.master, select.POLLIN)
        return any(e & select.POLLHUP for _, e in events.poll(0))


def locked_pty():
    """A pseudo-terminal whose near end exists but cannot be opened, and its far end."""
    master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
    number = fcntl.ioctl(master, TIOCGPTN, b"\0\0\0\0")
    return master, "/dev/pts/%d" % int.from_bytes(number, sys.byteorder)
