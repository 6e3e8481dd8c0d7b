#!/usr/bin/env python3
"""The serial link on a real serial driver, checked from the wire's side:
Linux's 8250 driver on a PC's 16550 (machine pc), its PL011 driver on the UART
of the Raspberry Pi and other ARM boards (machine virt, arm64), or its
ftdi_sio driver on an emulated USB serial adapter, pulled out and put back
while the link holds it (device usb-serial, on the pc).

Pseudo-terminals force 8 data bits and no parity on every tcsetattr and
ignore the speed, so they cannot show what Open programs into a UART. Here
Debian's kernel boots under QEMU (software emulation) with an initramfs that
holds busybox and uart_driver, a static program built from the serial link
itself, for the machine's architecture. The guest's ttyS0 is its console,
spoken to over a socket; the line under test is COM2, whose far end is another socket that this
test plays as the peer. What the UART is programmed with is read on the host,
from QEMU's trace, not from the guest's word.

What the emulated UART cannot show, and is left to the pseudo-terminal tests:
it does not pace bytes by the baud rate, and closing the host's end of the
line shows the guest no hang-up.

With --device usb-serial, COM2 is instead an FTDI FT232 adapter (QEMU's
usb-serial) on an xHCI controller, driven by Debian's modules from the same
kernel package, and the test pulls it out and plugs it back in through QEMU's
monitor (QMP device_del and device_add) while the link holds it. No udev runs
in the guest, so the adapter is followed by its node, not by its by-id name.

Usage: uart_test.py [--machine pc|virt] [--device uart|usb-serial] UART_DRIVER WORK_DIR
Exit status 77 (skipped, with the reason) where QEMU, busybox or Debian's
kernel package cannot be had; 0 when every check holds.
"""

import argparse
import glob
import json
import lzma
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import time
from typing import Callable, NamedTuple

SKIP = 77
TIME_LIMIT = 120  # seconds, the whole guest's life
BUSYBOX = "/bin/busybox"
SETTINGS = r"baudrate=\d+ parity='.' data=\d+ stop=\d+"


def settings_8250(trace):
    """(offset, settings) of each time the 16550 was programmed."""
    return [(m.start(), m.group(1))
            for m in re.finditer(rf"serial_update_parameters ({SETTINGS})", trace)]


PL011_CLOCK = 24_000_000  # Hz, the virt machine's reference clock for its PL011
IBRD, FBRD, LCR_H = 0x24, 0x28, 0x2C


def settings_pl011(trace):
    """(offset, settings) of each time the PL011 was programmed: it takes the
    divisor (IBRD, FBRD) and the frame when LCR_H is written. QEMU's own
    pl011_baudrate_change says 0 baud here, so the writes are decoded."""
    registers, found = {}, []
    for m in re.finditer(r"pl011_write addr 0x([0-9a-f]+) value 0x([0-9a-f]+)", trace):
        address, value = int(m.group(1), 16), int(m.group(2), 16)
        registers[address] = value
        if address != LCR_H:
            continue
        divisor = 64 * registers.get(IBRD, 0) + registers.get(FBRD, 0)  # in 1/64
        baud = round(PL011_CLOCK * 4 / divisor) if divisor else 0
        parity = "N" if not value & 0x02 else "E" if value & 0x04 else "O"
        found.append((m.start(), f"baudrate={baud} parity='{parity}' data={5 + (value >> 5 & 3)} "
                                 f"stop={2 if value & 0x08 else 1}"))
    return found


class Machine(NamedTuple):
    qemu: str          # the emulator
    package: str       # the Debian package that has it
    arch: str          # Debian's architecture, for the kernel and busybox
    args: list         # the machine, with its console on the chardev "console"
    trace: str         # the trace event that shows how the line's UART is programmed
    settings: Callable[[str], list]  # that trace's text -> [(offset, settings)]
    uart: str          # the node of its UART on the chardev "line", in the guest


MACHINES = {
    "pc": Machine("qemu-system-x86_64", "qemu-system-x86", "amd64",
                  ["-M", "pc", "-serial", "chardev:console"],
                  "serial_update_parameters", settings_8250, "/dev/ttyS1"),
    # The PL011 is the machine's only UART: the console goes on a PCI 16550.
    "virt": Machine("qemu-system-aarch64", "qemu-system-arm", "arm64",
                    ["-M", "virt", "-cpu", "cortex-a53",
                     "-device", "pci-serial,chardev=console"],
                    "pl011_write", settings_pl011, "/dev/ttyAMA0"),
}

# What COM2 can be: the arguments QEMU adds for it (its far end is the chardev
# "line"), the modules the guest loads for it, with what they depend on, and
# the node the guest's kernel gives it (None: the machine's own UART's).
DEVICES = {
    "uart": {"qemu": ["-serial", "chardev:line"], "modules": [], "node": None},
    "usb-serial": {"qemu": ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,id=adapter,chardev=line"],
                   "modules": ["xhci_pci", "ftdi_sio"], "node": "/dev/ttyUSB0"},
}

failures = []


def check(condition, what):
    print(("ok: " if condition else "FAIL: ") + what, flush=True)
    if not condition:
        failures.append(what)


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP)


# --- the kernel and busybox: Debian's own, fetched and unpacked, never installed ---

def download(cache, package):
    """The .deb of `package` (name:arch), fetched into `cache`."""
    os.makedirs(cache, exist_ok=True)
    fetched = subprocess.run(["apt-get", "download", package], cwd=cache,
                             capture_output=True, text=True)
    debs = glob.glob(os.path.join(cache, package.split(":")[0] + "_*.deb"))
    if fetched.returncode != 0 or not debs:
        skip(f"cannot download {package}: {fetched.stderr.strip()[-200:]}")
    return debs[0]


def kernel(cache, arch, modules=()):
    """An uncompressed vmlinux (on a PC booted through its PVH entry, twice
    as fast as the bzImage), or the image as packaged when it can't be
    unpacked (arm64's is an uncompressed Image already); and the named
    modules' files, after those they depend on, in load order."""
    found = sorted(glob.glob(os.path.join(cache, "vmlinu[xz]-*")))
    order = os.path.join(cache, "modules", "+".join(modules) + ".order")
    if found and (not modules or os.path.exists(order)):
        return found[-1], loaded_modules(order) if modules else []
    depends = subprocess.run(["apt-cache", "depends", f"linux-image-{arch}:{arch}"],
                             capture_output=True, text=True).stdout
    image = re.search(rf"Depends: (linux-image-[0-9][^\s:]*-{arch})\b", depends)
    if not image:
        skip(f"apt knows no linux-image-{arch}:{arch} (run apt-get update)")
    deb = download(cache, f"{image.group(1)}-unsigned:{arch}")
    with tempfile.TemporaryDirectory(dir=cache) as unpacked:
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        if modules:
            unpack_modules(unpacked, modules, order)
        packed = glob.glob(os.path.join(unpacked, "boot", "vmlinuz-*"))[0]
        data = open(packed, "rb").read()
        version = os.path.basename(packed)[len("vmlinuz-"):]
        xz = data.find(b"\xfd7zXZ\x00")
        target = os.path.join(cache, "vmlinux-" + version)
        try:
            elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[xz:])
            if xz < 0 or not elf.startswith(b"\x7fELF"):
                raise ValueError("no xz-packed ELF")
            open(target + ".part", "wb").write(elf)
        except (lzma.LZMAError, ValueError):
            target = os.path.join(cache, "vmlinuz-" + version)
            shutil.copyfile(packed, target + ".part")
        os.replace(target + ".part", target)
    os.remove(deb)
    return target, loaded_modules(order) if modules else []


def unpack_modules(unpacked, wanted, order):
    """Copies the wanted modules and every one they depend on beside `order`,
    uncompressed, and lists them there in load order. The package holds no
    modules.dep, so each module's own "depends=" field (what depmod reads) is
    followed; one built into the kernel needs nothing."""
    root = glob.glob(os.path.join(unpacked, "lib", "modules", "*"))[0]
    files = {re.sub(r"\.ko(\.xz)?$", "", os.path.basename(path)).replace("-", "_"): path
             for path in glob.glob(os.path.join(root, "kernel", "**", "*.ko*"), recursive=True)}
    builtin = {os.path.basename(line.strip())[:-3].replace("-", "_")
               for line in open(os.path.join(root, "modules.builtin"))}
    into, names = os.path.dirname(order), []

    def add(name):
        name = name.replace("-", "_")
        if name in names or name in builtin:
            return
        if name not in files:
            check(False, f"the kernel package has the module {name}")
            sys.exit(1)
        data = open(files[name], "rb").read()
        if files[name].endswith(".xz"):
            data = lzma.decompress(data)
        depends = re.search(rb"(?:^|\0)depends=([^\0]*)", data)
        for dependency in depends.group(1).decode().split(",") if depends else []:
            if dependency:
                add(dependency)
        names.append(name)
        open(os.path.join(into, name + ".ko"), "wb").write(data)

    os.makedirs(into, exist_ok=True)
    for name in wanted:
        add(name)
    open(order + ".part", "w").write("\n".join(names) + "\n")
    os.replace(order + ".part", order)


def loaded_modules(order):
    into = os.path.dirname(order)
    return [os.path.join(into, name + ".ko") for name in open(order).read().split()]


def busybox(cache, arch):
    """This machine's static busybox, or for another architecture the one
    from that architecture's busybox-static."""
    if arch == subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                              text=True).stdout.strip():
        if not os.access(BUSYBOX, os.X_OK):
            skip(f"{BUSYBOX} is not installed (package busybox-static)")
        return BUSYBOX
    target = os.path.join(cache, "busybox-" + arch)
    if not os.path.exists(target):
        deb = download(cache, "busybox-static:" + arch)
        with tempfile.TemporaryDirectory(dir=cache) as unpacked:
            subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
            os.replace(os.path.join(unpacked, "bin", "busybox"), target)
        os.remove(deb)
    return target


# --- the initramfs: busybox, the driver, the device's modules, and an init
# that loads them, waits for the device's node and runs the driver twice ---

INIT = """#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox mount -t proc proc /proc
for module in {modules}; do /bin/busybox insmod /$module; done
while [ ! -e {node} ]; do /bin/busybox usleep 20000; done
/bin/busybox chmod 666 {node}
/bin/busybox stty -F /dev/ttyS0 raw -echo
echo "guest up"
/uart_driver {node}
echo "driver ended $?"
/uart_driver {node}
echo "driver ended $?"
/bin/busybox reboot -f
"""


def cpio(entries):
    """A newc archive of (name, mode, data, rdev_major, rdev_minor)."""
    out = bytearray()

    def add(ino, name, mode, data=b"", major=0, minor=0):
        encoded = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, major, minor, len(encoded), 0]
        out.extend(b"070701" + b"".join(b"%08x" % f for f in fields) + encoded)
        out.extend(b"\0" * (-len(out) % 4))
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))

    for ino, entry in enumerate(entries, 1):
        add(ino, *entry)
    add(0, "TRAILER!!!", 0)
    return bytes(out)


def initramfs(driver, busybox_path, path, node, modules):
    directory, executable = 0o040755, 0o100755
    entries = [(d, directory) for d in ("bin", "dev", "proc")]
    names = [os.path.basename(m) for m in modules]
    init = INIT.format(modules=" ".join(names), node=node)
    entries += [
        ("dev/console", 0o020600, b"", 5, 1),
        ("bin/busybox", executable, open(busybox_path, "rb").read()),
        ("uart_driver", executable, open(driver, "rb").read()),
        ("init", executable, init.encode()),
    ]
    entries += [(name, 0o100644, open(m, "rb").read()) for name, m in zip(names, modules)]
    open(path, "wb").write(cpio(entries))


# --- the running guest ---

class Guest:
    def __init__(self, machine, device, image, initrd, work):
        self.machine = machine
        self.trace = os.path.join(work, "trace.log")
        # A socket's path holds at most 107 bytes, which a build folder deep
        # enough exceeds: the sockets live in a short folder of our own, gone
        # once QEMU has connected to them.
        sockets = tempfile.mkdtemp(prefix="comtester-qemu-", dir="/tmp")
        try:
            paths = {name: os.path.join(sockets, name) for name in ("console", "line", "monitor")}
            listeners = {}
            for name, path in paths.items():
                listeners[name] = socket.socket(socket.AF_UNIX)
                listeners[name].bind(path)
                listeners[name].listen(1)
            # Software emulation: a guest on this machine's KVM hangs or fails.
            accel = os.environ.get("COMTESTER_QEMU_ACCEL", "tcg")
            self.qemu = subprocess.Popen(
                [machine.qemu, *machine.args, "-accel", accel, "-m", "192", "-nodefaults",
                 "-no-user-config", "-display", "none", "-no-reboot",
                 "-kernel", image, "-initrd", initrd,
                 "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
                 "-chardev", f"socket,id=console,path={paths['console']}",
                 "-chardev", f"socket,id=line,path={paths['line']}", *device["qemu"],
                 "-chardev", f"socket,id=monitor,path={paths['monitor']}", "-mon", "chardev=monitor,mode=control",
                 "-trace", machine.trace, "-D", self.trace],
                stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "qemu.log"), "w"))
            self.deadline = time.monotonic() + TIME_LIMIT
            for name, listener in listeners.items():
                listener.settimeout(30)
                connection, _ = listener.accept()
                listener.close()
                setattr(self, name, connection)
        finally:
            shutil.rmtree(sockets)
        self.pending = b""
        self.marked = 0
        self.monitor_replies = self.monitor.makefile("rb")
        self.events = []
        self.qmp("qmp_capabilities")

    def left(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the guest ran past its time limit")
        return left

    def line_from_console(self):
        while b"\n" not in self.pending:
            self.console.settimeout(self.left())
            chunk = self.console.recv(4096)
            if not chunk:
                raise EOFError("the guest's console closed")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode(errors="replace").strip("\r")

    def expect(self, wanted):
        """Console lines up to the one starting with `wanted`; that one."""
        while True:
            line = self.line_from_console()
            if line.startswith(wanted):
                return line
            print("  guest: " + line, flush=True)

    def ask(self, command, answer_starts=""):
        self.console.sendall(command.encode() + b"\n")
        return self.expect(answer_starts)

    def mark(self):
        """Starts a step: trace lines from here on are the step's."""
        self.marked = os.path.getsize(self.trace) if os.path.exists(self.trace) else 0

    def settings_since_mark(self, last=None):
        """The UART settings programmed since the mark, in order: once the
        last is `last`, or after a while for the log to land."""
        end = time.monotonic() + (3 if last else 0.3)
        while True:
            with open(self.trace, "rb") as trace:
                text = trace.read().decode("ascii", errors="replace")
            found = [s for at, s in self.machine.settings(text) if at >= self.marked]
            if (last and found[-1:] == [last]) or time.monotonic() > end:
                return found
            time.sleep(0.02)

    def peer_reads(self, count):
        got = b""
        while len(got) < count:
            self.line.settimeout(min(self.left(), 10))
            chunk = self.line.recv(count - len(got))
            if not chunk:
                break
            got += chunk
        return got

    def wait_until_waiting(self, count):
        for _ in range(500):
            if self.ask("waiting", "waiting") == f"waiting {count}":
                return True
            time.sleep(0.01)
        return False

    def monitor_says(self, wanted):
        """The next message from QEMU's monitor (QMP) that has the key `wanted`,
        the events before it kept in self.events."""
        while True:
            self.monitor.settimeout(self.left())
            line = self.monitor_replies.readline()
            if not line:
                raise EOFError("QEMU's monitor closed")
            message = json.loads(line)
            if any(key in message for key in wanted):
                return message
            if "event" in message:
                self.events.append(message["event"])

    def qmp(self, command, **arguments):
        """A command to QEMU's monitor; its reply."""
        self.monitor.sendall(json.dumps({"execute": command, "arguments": arguments}).encode())
        return self.monitor_says(("return", "error"))

    def event(self, name):
        """Waits for an event from QEMU's monitor."""
        while name not in self.events:
            self.events.append(self.monitor_says(("event",))["event"])
        self.events.remove(name)

    def end(self):
        try:
            return self.qemu.wait(timeout=max(1, self.left()))
        except subprocess.TimeoutExpired:
            self.qemu.kill()
            return None


def shown(data):
    """The receive box's text for bytes taken in the C locale: each zero byte
    as U+2400, each line break as CR LF."""
    data = data.replace(b"\0", "\u2400".encode())
    return re.sub(rb"\r\n|\r|\n", b"\r\n", data)


def flags(line):
    fields = line.split()
    return [int(f, 16) for f in fields[1:5]] + [int(fields[5]), int(fields[6])]


def until(condition, seconds=10):
    """Polls `condition` until it holds or the seconds are up; whether it held."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


def pull_and_replug(guest):
    """COM2 on the USB adapter: bytes both ways, then the adapter pulled out
    while the link holds it, once seen by Receive and once by Send, and put
    back in between."""
    def monitor(what, command, **arguments):
        reply = guest.qmp(command, **arguments)
        check("error" not in reply, what + (f" ({reply['error']['desc']})" if "error" in reply else ""))

    def pull():
        monitor("the monitor pulls the adapter out", "device_del", id="adapter")
        check(until(lambda: guest.ask("present", "present") == "present 0"),
              "the guest's kernel sees it gone")

    def answer_at_once(command, wanted):
        began = time.monotonic()
        answer = guest.ask(command)
        took = time.monotonic() - began
        check(answer == wanted and took < 3,
              f"after the pull, {command.split()[0]} answers {wanted!r} at once: {answer!r} in {took:.2f} s")
        check(guest.ask("state", "state") == "state closed", "and the port is given up, with nothing shown")

    def bytes_pass():
        check(guest.ask("open 1") == "open 1", "Open on COM2 opens the adapter, no message")
        check(guest.ask("send " + b"out\0".hex(), "sent") == "sent" and guest.peer_reads(4) == b"out\0",
              "Send's bytes reach the peer through the adapter")
        guest.line.sendall(b"in\0")
        check(guest.wait_until_waiting(3) and guest.ask("receive", "text") == "text " + shown(b"in\0").hex(),
              "Receive shows the peer's bytes through the adapter")

    bytes_pass()
    pull()
    answer_at_once("receive", "none")
    # QEMU lets go of the line's far end only once it has deleted the adapter.
    guest.event("DEVICE_DELETED")
    monitor("the monitor plugs the adapter back in", "device_add", driver="usb-serial", id="adapter", chardev="line")
    # Had the dead port stayed open, its number would still be taken.
    check(until(lambda: guest.ask("present", "present") == "present 1"),
          "the adapter comes back under its old name, /dev/ttyUSB0")
    bytes_pass()
    guest.console.sendall(b"exit\n")
    check(guest.expect("driver ended") == "driver ended 0", "Exit ends the driver with status 0")

    guest.expect("ready")
    check(guest.ask("open 1") == "open 1", "the next run opens the adapter")
    pull()
    answer_at_once("send " + b"lost".hex(), "sent")
    guest.console.sendall(b"exit\n")
    check(guest.expect("driver ended") == "driver ended 0", "Exit after a pull ends the driver with status 0")
    check(guest.end() is not None, "the guest powered off by itself")


def main():
    parser = argparse.ArgumentParser(description="The serial link on a real driver under QEMU.")
    parser.add_argument("--machine", choices=MACHINES, default="pc", help="the emulated machine")
    parser.add_argument("--device", choices=DEVICES, default="uart", help="what COM2 is")
    parser.add_argument("driver")
    parser.add_argument("work")
    arguments = parser.parse_args()
    driver, work = arguments.driver, arguments.work
    machine, device = MACHINES[arguments.machine], DEVICES[arguments.device]
    if not shutil.which(machine.qemu):
        skip(f"{machine.qemu} is not installed (package {machine.package})")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    cache = os.path.join(work, "kernel")
    image, modules = kernel(cache, machine.arch, device["modules"])
    initrd = os.path.join(work, "initramfs.cpio")
    node = device["node"] or machine.uart
    initramfs(driver, busybox(cache, machine.arch), initrd, node, modules)

    # The UART's own checks: what Open programs into the UART, as QEMU's
    # trace shows it, and the line's bytes both ways.
    def uart_checks(guest):
        # A port left at 1200 baud, 7 data bits, odd parity, 2 stop bits.
        guest.mark()
        before = flags(guest.ask("preset", "termios"))
        preset = "baudrate=1200 parity='O' data=7 stop=2"
        check(guest.settings_since_mark(preset)[-1:] == [preset],
              "the UART starts at 1200 baud, odd parity, 7 data bits, 2 stop bits")

        guest.mark()
        check(guest.ask("open 1", "open") == "open 1", f"Open on COM2 opens {node}, no message")
        line = "baudrate=9600 parity='N' data=8 stop=1"
        programmed = guest.settings_since_mark(line)
        print("  trace at Open: " + "; ".join(programmed))
        check(programmed[-1:] == [line],
              "Open programs the UART for 9600 baud, no parity, 8 data bits, 1 stop bit")

        # Nothing else changes beyond what the port's raw mode needs.
        after = flags(guest.ask("termios", "termios"))
        may_change = [
            termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
            | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY
            | termios.INPCK,
            termios.OPOST,
            termios.CBAUD | termios.CBAUDEX | termios.CSIZE | termios.PARENB | termios.CSTOPB
            | termios.CREAD | termios.CLOCAL,
            termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN,
        ]
        for name, old, new, allowed in zip(("iflag", "oflag", "cflag", "lflag"), before, after, may_change):
            check((old ^ new) & ~allowed == 0,
                  f"{name} changes only where raw 9600 8N1 needs it ({old:#o} -> {new:#o})")
        check(after[4:] == [9600, 9600], "the guest reads back 9600 baud both ways")

        # The read-back check on a real driver: the driver keeps its old speed
        # when asked for one it cannot make, and tcsetattr still says yes.
        guest.mark()
        check(guest.ask("speed 4000000", "took") == "took 0 9600",
              "asked for 4,000,000 baud, the driver keeps 9600 and the check says not set")
        check(all(s.startswith("baudrate=9600 ") for s in guest.settings_since_mark()),
              "the UART stayed at 9600 baud")
        check(guest.ask("speed 9600", "took") == "took 1 9600", "the line's own speed is taken")

        # All 256 byte values, both ways.
        every = bytes(range(256))
        check(guest.ask("send " + every.hex(), "sent") == "sent", "Send of 256 byte values returned")
        check(guest.peer_reads(256) == every, "every byte value reached the peer intact")
        guest.line.sendall(every)
        check(guest.wait_until_waiting(256), "256 bytes wait in the guest's driver")
        check(guest.ask("receive", "text") == "text " + shown(every).hex(),
              "Receive shows every byte value the peer sent")

        # 2048 waiting bytes arrive as 1024 + 1024 over two presses.
        many = bytes(33 + i % 90 for i in range(2048))
        guest.line.sendall(many)
        check(guest.wait_until_waiting(2048), "2048 bytes wait in the guest's driver")
        check(guest.ask("receive", "text") == "text " + many[:1024].hex(), "the first press shows 1024")
        check(guest.ask("receive", "text") == "text " + many[1024:].hex(), "the second press the next 1024")
        check(guest.ask("receive", "text") == "text ", "and nothing is left")

        # A second open of the held port: refused for root by the lock, for
        # a normal user by the exclusive-use flag as well.
        check(guest.ask("second", "second") == "second root refused nobody EBUSY",
              "a second open is refused, for root and for a normal user")
        guest.console.sendall(b"exit\n")
        check(guest.expect("driver ended") == "driver ended 0", "Exit ends the driver with status 0")
        guest.expect("ready")
        check(guest.ask("second", "second") == "second root opened nobody opened",
              "after Exit the line opens again, for root and for a normal user")
        guest.console.sendall(b"exit\n")
        guest.expect("driver ended")
        check(guest.end() is not None, "the guest powered off by itself")

    guest = Guest(machine, device, image, initrd, work)
    try:
        guest.expect("guest up")
        check(guest.expect("ready") == "ready", "the driver started in the guest")
        (pull_and_replug if arguments.device == "usb-serial" else uart_checks)(guest)
    except (TimeoutError, EOFError, OSError) as error:
        check(False, f"the guest answered ({error})")
    finally:
        if guest.qemu.poll() is None:
            guest.qemu.kill()
            guest.qemu.wait()
    print(f"time: {time.monotonic() - started:.1f} s", flush=True)
    if failures:
        print(f"{len(failures)} check(s) failed")
        sys.exit(1)


if __name__ == "__main__":
    main()
