#!/usr/bin/env python3
"""comtester-ports follows an adapter named by its /dev/serial/by-id link:
pulled out and put back under another node, it is still COM2, without the
program restarting; as root and as the normal user nobody.

A pseudo-terminal plays the adapter, in a private /dev of the test's own
(made by bwrap) that holds a by-id link as udev makes it (../../pts/N). The
program is uart_driver, the serial link driven from its standard input.
Pulling out closes the pair's far end, which hangs the near end up as an
adapter's driver does; putting back is a fresh pair and the link moved to it.
Beside that: a link whose name begins with "-", the system's /dev seen
read-only (with a mount under it), and links whose way leaves /dev refused;
the signals that end a program passed on to it, whoever they are sent to;
and the advice given to a user the device refuses.

Usage: follow_test.py LAUNCHER UART_DRIVER
"""
import grp
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import NOBODY, Checks, patience  # noqa: E402  the tests' shared support
from support.lines import Line  # noqa: E402

LINK = "/dev/serial/by-id/usb-comtester_test_adapter-if00-port0"
check = Checks()


def plug(path):
    os.symlink(os.path.relpath(path, os.path.dirname(LINK)), LINK + ".new")
    os.replace(LINK + ".new", LINK)


def start(launcher, driver, link=LINK, user="root"):
    prefix = NOBODY if user == "nobody" else []
    # From the link's folder, so that a name beginning with "-" can be given as is.
    return subprocess.Popen(prefix + [launcher, "-", os.path.basename(link), "--", driver], text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=os.path.dirname(link))


def run(user, launcher, driver):
    adapter = Line(for_anyone=True)
    plug(adapter.path)
    program = start(launcher, driver, user=user)

    def ask(command):
        program.stdin.write(command + "\n")
        program.stdin.flush()
        return program.stdout.readline().strip()

    check(program.stdout.readline().strip() == "ready", f"{user}: the program started")
    check(ask("open 1") == "open 1", f"{user}: COM2 opens the adapter named by its by-id link")
    ask("send " + b"one".hex())
    check(adapter.read(3) == b"one", f"{user}: Send reaches it")

    again = Line(for_anyone=True)  # taken while the first is held: another node
    adapter.close()
    check(ask("receive") == "none" and ask("state") == "state closed",
          f"{user}: pulled out, the port is given up")
    plug(again.path)
    check(ask("open 1") == "open 1", f"{user}: put back as {again.path}, the next Open opens it")
    ask("send " + b"two".hex())
    check(again.read(3) == b"two", f"{user}: Send reaches the adapter under its new node")
    program.stdin.write("exit\n")
    program.stdin.close()
    check(program.wait(timeout=patience(30)) == 0, f"{user}: Exit ends with status 0")
    again.close()


def edges(launcher, driver):
    adapter = Line(for_anyone=True)
    plug(adapter.path)
    dash = os.path.join(os.path.dirname(LINK), "-adapter")
    os.symlink(os.readlink(LINK), dash)
    program = start(launcher, driver, dash)

    def tell(commands):
        try:
            program.stdin.write(commands)
            program.stdin.flush()
        except BrokenPipeError:  # the launcher gave up at once
            pass

    tell("open 1\nsend %s\n" % b"dash".hex())
    answers = [program.stdout.readline().strip() for _ in range(3)]
    check(answers == ["ready", "open 1", "sent"] and adapter.read(4) == b"dash", "a link named -adapter is followed")
    tell("exit\n")
    program.wait(timeout=patience(30))

    # Root owns /dev: nothing made through the sandbox's view of it lands there.
    probes = ["/dev/probe", "/dev/shm/probe"]
    subprocess.run([launcher, "-", LINK, "--", "sh", "-c",
                    "for p; do true >/dev/.host/${p#/dev/}; done", "sh", *probes], stderr=subprocess.DEVNULL)
    made = [p for p in probes if os.path.exists(p)]
    check(not made, f"the system's /dev is read-only inside, mounts under it too (made: {made})")
    adapter.close()

    # Relative links whose way leaves /dev: to a node outside it, and out and
    # back in (../../../dev/...), which inside would lead to /dev/dev/...
    outside = tempfile.mkdtemp(dir="/tmp")
    node = os.path.join(outside, "port")
    os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    for name, target in (("out", node), ("out-and-back", "/dev/null")):
        link = os.path.join(os.path.dirname(LINK), name)
        os.symlink("../../.." + target, link)
        refused = subprocess.run([launcher, "-", link, "--", "true"], capture_output=True, text=True)
        check(refused.returncode == 1 and refused.stderr.count("\n") == 1 and link in refused.stderr,
              f"a link leading {name} of /dev is refused in one line: {refused.stderr.strip()!r}")
    shutil.rmtree(outside)


def ending(launcher, driver):
    """Each signal that ends a program, sent to the launcher's pid or to its
    process group, reaches the program, which gives back its lock file and
    its line's exclusive flag; the launcher ends with the program's status."""
    line = Line(for_anyone=True)
    lock = "/run/lock/LCK.." + line.path[len("/dev/"):].replace("/", "_")
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
        for whom in ("pid", "group"):
            program = subprocess.Popen(NOBODY + [launcher, "-", line.path, "--", driver], text=True,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, process_group=0)
            program.stdin.write("open 1\n")
            program.stdin.flush()
            what = f"{sig.name} to the launcher's {whom}"
            opened = [program.stdout.readline().strip() for _ in range(2)] == ["ready", "open 1"]
            check(opened and os.path.exists(lock) and line.exclusive(), f"{what}: the line was held")
            (os.kill if whom == "pid" else os.killpg)(program.pid, sig)
            status = program.wait(timeout=patience(30))
            check(status == 128 + sig, f"{what}: the launcher ends with 128 + {int(sig)} ({status})")
            check(not os.path.exists(lock) and not line.exclusive(),
                  f"{what}: neither lock file nor exclusive flag is left")
    line.close()


def advice(launcher):
    """A normal user refused a device is told of a group only where joining it
    would let them read and write it, and never of root's or tty's."""
    nodes = tempfile.mkdtemp(dir="/dev")
    os.chmod(nodes, 0o755)
    for name, group, mode, said in (("root-only", "root", 0o600, "it is for its owner root alone"),
                                    ("dialout", "dialout", 0o660, "usermod -aG dialout $USER"),
                                    ("root-group", "root", 0o660, "it is for its owner root alone"),
                                    ("terminal", "tty", 0o620, "it is for its owner root alone")):
        node = os.path.join(nodes, name)
        os.mknod(node, mode | stat.S_IFCHR, os.makedev(5, 0))
        os.chown(node, 0, grp.getgrnam(group).gr_gid)
        os.chmod(node, mode)  # as made, less the umask
        refused = subprocess.run(NOBODY + [launcher, node, "--", "true"], capture_output=True, text=True)
        check(refused.returncode == 1 and refused.stderr.count("\n") == 1 and said in refused.stderr,
              f"a root:{group} device of mode {mode:o} is refused with {said!r}: {refused.stderr.strip()!r}")
    shutil.rmtree(nodes)


def main():
    launcher, driver = map(os.path.abspath, sys.argv[1:3])
    if os.environ.get("FOLLOW_TEST_PRIVATE_DEV") != "1":
        # The test's own /dev, so that the system's is left alone, and its own
        # lock folder: lock files are named after the device, and pts/0 of
        # the test's own pseudo-terminals is not the system's pts/0.
        env = dict(os.environ, FOLLOW_TEST_PRIVATE_DEV="1")
        sys.exit(subprocess.run(["bwrap", "--dev-bind", "/", "/", "--dev", "/dev", "--tmpfs", "/dev/shm",
                                 "--perms", "1777", "--tmpfs", "/run/lock", "--",
                                 sys.executable] + sys.argv, env=env).returncode)
    os.makedirs(os.path.dirname(LINK))
    # The ending signals as a session has them, whatever the caller ignored.
    for sig in (signal.SIGINT, signal.SIGQUIT):
        signal.signal(sig, signal.SIG_DFL)
    for user in ("root", "nobody"):
        run(user, launcher, driver)
    edges(launcher, driver)
    ending(launcher, driver)
    advice(launcher)
    sys.exit(check.status())


if __name__ == "__main__":
    main()
