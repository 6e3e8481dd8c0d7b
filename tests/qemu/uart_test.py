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
import os
import re
import sys
import termios
import time
from typing import Callable, NamedTuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import Checks, wait_for  # noqa: E402  the tests' shared support
from support import qemu  # noqa: E402

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


class Uart(NamedTuple):
    trace: str         # the trace event that shows how the UART is programmed
    settings: Callable[[str], list]  # that trace's text -> [(offset, settings)]
    node: str          # the UART's node in the guest


# Per machine (support.qemu.MACHINES): the UART that the chardev "line" is on.
UARTS = {
    "pc": Uart("serial_update_parameters", settings_8250, "/dev/ttyS1"),
    "virt": Uart("pl011_write", settings_pl011, "/dev/ttyAMA0"),
}

# What COM2 can be: the arguments QEMU adds for it (its far end is the chardev
# "line"), the modules the guest loads for it, with what they depend on, and
# the node the guest's kernel gives it (None: the machine's own UART's).
DEVICES = {
    "uart": {"qemu": ["-serial", "chardev:line"], "modules": [], "node": None},
    "usb-serial": {"qemu": ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,id=adapter,chardev=line"],
                   "modules": ["xhci_pci", "ftdi_sio"], "node": "/dev/ttyUSB0"},
}

# The guest's own part of its init: it waits for the device's node and runs
# the driver twice.
INIT = """
while [ ! -e {node} ]; do /bin/busybox usleep 20000; done
/bin/busybox chmod 666 {node}
echo "guest up"
/uart_driver {node}
echo "driver ended $?"
/uart_driver {node}
echo "driver ended $?"
"""

check = Checks()


def settings_since_mark(guest, uart, last=None):
    """The UART settings programmed since the mark, in order: once the
    last is `last`, or after a while for the log to land."""
    found = []

    def landed():
        found[:] = guest.traced_since_mark(uart.settings)
        return last and found[-1:] == [last]
    wait_for(landed, 30 if last else 0.3)
    return found


def wait_until_waiting(guest, count):
    """Whether `count` bytes come to wait in the guest's driver."""
    return wait_for(lambda: guest.ask("waiting", "waiting") == f"waiting {count}", 30, 0.01)


def shown(data):
    """The receive box's text for bytes taken in the C locale: each zero byte
    as U+2400, each line break as CR LF."""
    data = data.replace(b"\0", "\u2400".encode())
    return re.sub(rb"\r\n|\r|\n", b"\r\n", data)


def flags(line):
    fields = line.split()
    return [int(f, 16) for f in fields[1:5]] + [int(fields[5]), int(fields[6])]


def pull_and_replug(guest):
    """COM2 on the USB adapter: bytes both ways, then the adapter pulled out
    while the link holds it, once seen by Receive and once by Send, and put
    back in between."""
    def monitor(what, command, **arguments):
        reply = guest.qmp(command, **arguments)
        check("error" not in reply, what + (f" ({reply['error']['desc']})" if "error" in reply else ""))

    def pull():
        monitor("the monitor pulls the adapter out", "device_del", id="adapter")
        check(wait_for(lambda: guest.ask("present", "present") == "present 0"),
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
        check(wait_until_waiting(guest, 3) and guest.ask("receive", "text") == "text " + shown(b"in\0").hex(),
              "Receive shows the peer's bytes through the adapter")

    bytes_pass()
    pull()
    answer_at_once("receive", "none")
    # QEMU lets go of the line's far end only once it has deleted the adapter.
    guest.event("DEVICE_DELETED")
    monitor("the monitor plugs the adapter back in", "device_add", driver="usb-serial", id="adapter", chardev="line")
    # Had the dead port stayed open, its number would still be taken.
    check(wait_for(lambda: guest.ask("present", "present") == "present 1"),
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
    parser.add_argument("--machine", choices=UARTS, default="pc", help="the emulated machine")
    parser.add_argument("--device", choices=DEVICES, default="uart", help="what COM2 is")
    parser.add_argument("driver")
    parser.add_argument("work")
    arguments = parser.parse_args()
    driver, work = arguments.driver, arguments.work
    machine, uart = qemu.MACHINES[arguments.machine], UARTS[arguments.machine]
    device = DEVICES[arguments.device]
    qemu.require(machine)
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    node = device["node"] or uart.node
    image, initrd = qemu.boot_files(machine, work, INIT.format(node=node), {"uart_driver": driver},
                                    device["modules"])

    # The UART's own checks: what Open programs into the UART, as QEMU's
    # trace shows it, and the line's bytes both ways.
    def uart_checks(guest):
        # A port left at 1200 baud, 7 data bits, odd parity, 2 stop bits.
        guest.mark()
        before = flags(guest.ask("preset", "termios"))
        preset = "baudrate=1200 parity='O' data=7 stop=2"
        check(settings_since_mark(guest, uart, preset)[-1:] == [preset],
              "the UART starts at 1200 baud, odd parity, 7 data bits, 2 stop bits")

        guest.mark()
        check(guest.ask("open 1", "open") == "open 1", f"Open on COM2 opens {node}, no message")
        line = "baudrate=9600 parity='N' data=8 stop=1"
        programmed = settings_since_mark(guest, uart, line)
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
        check(all(s.startswith("baudrate=9600 ") for s in settings_since_mark(guest, uart)),
              "the UART stayed at 9600 baud")
        check(guest.ask("speed 9600", "took") == "took 1 9600", "the line's own speed is taken")

        # All 256 byte values, both ways.
        every = bytes(range(256))
        check(guest.ask("send " + every.hex(), "sent") == "sent", "Send of 256 byte values returned")
        check(guest.peer_reads(256) == every, "every byte value reached the peer intact")
        guest.line.sendall(every)
        check(wait_until_waiting(guest, 256), "256 bytes wait in the guest's driver")
        check(guest.ask("receive", "text") == "text " + shown(every).hex(),
              "Receive shows every byte value the peer sent")

        # 2048 waiting bytes arrive as 1024 + 1024 over two presses.
        many = bytes(33 + i % 90 for i in range(2048))
        guest.line.sendall(many)
        check(wait_until_waiting(guest, 2048), "2048 bytes wait in the guest's driver")
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

    guest = qemu.Guest(machine, image, initrd, work, device["qemu"], uart.trace)
    try:
        guest.expect("guest up")
        check(guest.expect("ready") == "ready", "the driver started in the guest")
        (pull_and_replug if arguments.device == "usb-serial" else uart_checks)(guest)
    except (TimeoutError, EOFError, OSError) as error:
        check(False, f"the guest answered ({error})")
    finally:
        guest.close()
    print(f"time: {time.monotonic() - started:.1f} s", flush=True)
    sys.exit(check.status())


if __name__ == "__main__":
    main()
