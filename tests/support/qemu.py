"""The QEMU guest: Debian's own kernel (and for another architecture its
static busybox), fetched and unpacked, never installed; an initramfs of
busybox, the test's programs and the kernel modules they need; and the guest
booted from them under software emulation, its console, one serial line and
QEMU's monitor (QMP) each a socket the test holds.

    machine = MACHINES["pc"]
    image, initrd = boot_files(machine, work, init, {"program": path})
    guest = Guest(machine, image, initrd, work, ["-serial", "chardev:line"],
                  "serial_update_parameters")
"""
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
import time
from typing import NamedTuple

from support import skip

TIME_LIMIT = 120  # seconds, the whole guest's life
BUSYBOX = "/bin/busybox"


class Machine(NamedTuple):
    qemu: str      # the emulator
    package: str   # the Debian package that has it
    arch: str      # Debian's architecture, for the kernel and busybox
    args: list     # the machine, with its console on the chardev "console"


MACHINES = {
    "pc": Machine("qemu-system-x86_64", "qemu-system-x86", "amd64",
                  ["-M", "pc", "-serial", "chardev:console"]),
    # The PL011 is the machine's only UART, left for the line: the console
    # goes on a PCI 16550.
    "virt": Machine("qemu-system-aarch64", "qemu-system-arm", "arm64",
                    ["-M", "virt", "-cpu", "cortex-a53",
                     "-device", "pci-serial,chardev=console"]),
}


def require(machine):
    """Skips the test, saying why, where the machine's emulator is missing."""
    if not shutil.which(machine.qemu):
        skip(f"{machine.qemu} is not installed (package {machine.package})")


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
            print(f"FAIL: the kernel package has the module {name}", flush=True)
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


# --- the initramfs: busybox, the programs, the modules, and an init that
# loads the modules, runs the test's part and powers the guest off ---

INIT = """#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox mount -t proc proc /proc
for module in {modules}; do /bin/busybox insmod /$module; done
/bin/busybox stty -F /dev/ttyS0 raw -echo
{init}
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


def initramfs(path, busybox_path, init, programs, modules):
    """The archive at `path`: busybox, each program (name -> file) at /name,
    the modules' files at the root, and /init, which runs the shell text
    `init` once /dev and /proc are mounted, the modules loaded and the
    console (ttyS0, the test's socket) raw."""
    directory, executable = 0o040755, 0o100755
    entries = [(d, directory) for d in ("bin", "dev", "proc")]
    names = [os.path.basename(m) for m in modules]
    entries += [
        ("dev/console", 0o020600, b"", 5, 1),
        ("bin/busybox", executable, open(busybox_path, "rb").read()),
        *((name, executable, open(program, "rb").read()) for name, program in programs.items()),
        ("init", executable, INIT.format(modules=" ".join(names), init=init.strip()).encode()),
    ]
    entries += [(name, 0o100644, open(m, "rb").read()) for name, m in zip(names, modules)]
    open(path, "wb").write(cpio(entries))


def boot_files(machine, work, init, programs, modules=()):
    """The kernel and the initramfs (see initramfs) that `machine` boots, made
    in `work`; Debian's packages are fetched once into work/kernel."""
    cache = os.path.join(work, "kernel")
    image, module_files = kernel(cache, machine.arch, modules)
    initrd = os.path.join(work, "initramfs.cpio")
    initramfs(initrd, busybox(cache, machine.arch), init, programs, module_files)
    return image, initrd


# --- the running guest ---

class Guest:
    """The machine booted under QEMU: its console (`console`), the far end of
    the chardev "line" that `devices` put on the machine (`line`) and QEMU's
    monitor, each a connected socket; `trace_event`, if any, traced to
    work/trace.log; `memory` in MiB. Every wait ends by the guest's time
    limit, `time_limit` seconds after it starts."""

    def __init__(self, machine, image, initrd, work, devices, trace_event=None, memory="192",
                 time_limit=TIME_LIMIT, accel="tcg"):
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
            accel = os.environ.get("COMTESTER_QEMU_ACCEL", accel)
            traced = ["-trace", trace_event, "-D", self.trace] if trace_event else []
            self.qemu = subprocess.Popen(
                [machine.qemu, *machine.args, "-accel", accel, "-m", memory, "-nodefaults",
                 "-no-user-config", "-display", "none", "-no-reboot",
                 "-kernel", image, "-initrd", initrd,
                 "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
                 "-chardev", f"socket,id=console,path={paths['console']}",
                 "-chardev", f"socket,id=line,path={paths['line']}", *devices,
                 "-chardev", f"socket,id=monitor,path={paths['monitor']}", "-mon", "chardev=monitor,mode=control",
                 *traced],
                stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "qemu.log"), "w"))
            self.deadline = time.monotonic() + time_limit
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

    def traced_since_mark(self, parse):
        """What `parse` finds in the whole trace's text, as (offset, finding)
        pairs, from the mark on: the findings."""
        with open(self.trace, "rb") as trace:
            text = trace.read().decode("ascii", errors="replace")
        return [found for at, found in parse(text) if at >= self.marked]

    def peer_reads(self, count):
        """Up to `count` bytes from the line's far end."""
        got = b""
        while len(got) < count:
            self.line.settimeout(min(self.left(), 10))
            chunk = self.line.recv(count - len(got))
            if not chunk:
                break
            got += chunk
        return got

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
        """QEMU's exit status once the guest has powered off; None when it
        had not by the time limit, and was ended."""
        try:
            return self.qemu.wait(timeout=max(1, self.left()))
        except subprocess.TimeoutExpired:
            self.qemu.kill()
            return None

    def close(self):
        """Ends QEMU if it still runs."""
        if self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()
