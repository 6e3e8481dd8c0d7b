#!/usr/bin/env python3
"""The i686 program where this machine's kernel runs no 32-bit code: the
smoke set of the i686 suites, run in an x86-64 guest whose kernel does.

Debian's own kernel boots under QEMU's software emulation (two threads, two
processors; -smap, without which the guest's kernel faults in 32-bit Windows
programs) from an initramfs of busybox and the modules for 9p and overlayfs.
Its init mounts this machine's root file system, shared read-only over 9p,
under a tmpfs overlay that takes every write, and runs the job there: the
Wine prefix made once, before any case and outside every case's deadline,
then copied to where each suite keeps its own; then the cases, each as its
suite runs it on a machine that can, with every deadline stretched by
COMTESTER_TEST_SLOWDOWN; then the guest powers off. Nothing the guest writes
reaches this machine: what comes back is its console, read here.

The smoke set covers what the i686 program does: the serial suite's Open,
Send and Receive cases, the window shown with every control and closed by
its frame, and the end-to-end typical use.

Usage: i686_guest.py WORK_DIR SERIAL_TESTS WINDOW_TESTS E2E_PY PROGRAM WINDOW_DRIVER
                     SERIAL_PREFIX WINDOW_PREFIX E2E_PREFIX
Exit status 0 when every case passed in the guest.
"""
import os
import re
import shlex
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import Checks  # noqa: E402  the tests' shared support
from support import qemu  # noqa: E402

TIME_LIMIT = 25 * 60  # seconds, the whole guest's life
SLOWDOWN = 60  # an emulated Wine step takes 20 to 60 times as long as here
MEMORY = "3072"  # MiB; Wine, Xvfb and the overlay's tmpfs
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]
QEMU_ARGS = ["-cpu", "max,-smap", "-smp", "2",
             "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                        "multidevs=remap"]
SERIAL_CASES = ["WineLine.OpenSets9600OneStopBitAndKeepsTheDriversOtherSettings",
                "WineLine.SendPutsEveryByteOnTheLineAndNothingElse",
                "WineLine.ReceiveShowsWhatIsWaitingUpToTheLimit"]
WINDOW_CASES = ["Window.ShowsEveryControlInPlaceAndClosesByItsFrame"]
E2E_CASES = ["test_typical_use"]
MARK = "comtester-guest"  # starts the job's own lines on the console

# The init's part in the initramfs, where only /bin/busybox is: this
# machine's root under a writable overlay, the kernel's file systems on it,
# and the job run there.
INIT = """
b=/bin/busybox
$b mkdir -p /host /rw /new
$b mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=512000,cache=loose hostroot /host
$b mount -t tmpfs -o size=75% rw /rw
$b mkdir -p /rw/upper /rw/work
$b mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work overlay /new
$b mount -t devtmpfs dev /new/dev
$b mkdir -p /new/dev/pts /new/dev/shm
$b mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /new/dev/pts
$b mount -t tmpfs shm /new/dev/shm
$b mount -t proc proc /new/proc
$b mount -t sysfs sys /new/sys
$b mount -t tmpfs run /new/run
$b cp /job.sh /new/run/job.sh
$b chroot /new /bin/sh /run/job.sh < /dev/null
"""

# The job, in the guest's view of this machine's root.
JOB = """
export HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C COMTESTER_TEST_SLOWDOWN={slowdown}
mkdir -p "$HOME"
echo "{mark} up"
made=/var/tmp/comtester-wine-i686
if WINEPREFIX=$made WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \\
     /usr/lib/wine/wine wineboot --init >/var/tmp/wineboot.log 2>&1 &&
   WINEPREFIX=$made /usr/lib/wine/wineserver32 -w; then
  touch $made/comtester-ready
  echo "{mark} prefix 0"
else
  tail -n 20 /var/tmp/wineboot.log
  echo "{mark} prefix 1"
fi
# Each suite's prefix linked to the one made, its registry copied: three
# copies would not fit in the guest's memory, and each suite writes only the
# registry (by renaming a new file over the old, but copies keep the suites
# apart for certain).
for prefix in {prefixes}; do
  rm -rf "$prefix" "$prefix.log"
  mkdir -p "$(dirname "$prefix")"
  cp -al $made "$prefix"
  for reg in $made/*.reg; do cp --remove-destination "$reg" "$prefix/${{reg##*/}}"; done
done
du -sh $made
{cases}
echo "{mark} done"
"""

# A suite that fails shows where its ports led and the end of its Wine log.
CASE = """echo "{mark} start {name}"
{environment} {command} 2>&1
status=$?
[ $status = 0 ] || {{ ls -l {prefix}/dosdevices; tail -n 40 {log}; }}
echo "{mark} end {name} $status"
"""


def main():
    if len(sys.argv) != 10:
        sys.exit(__doc__.split("\n\n")[-2])
    work, serial, window, e2e, program, driver, serial_prefix, window_prefix, e2e_prefix = \
        sys.argv[1:]
    os.makedirs(work, exist_ok=True)
    # suite -> its command, its environment, its prefix and its Wine log
    suites = {
        # The console is a terminal: gtest would colour its lines.
        "serial": ([serial, "--gtest_color=no", "--gtest_filter=" + ":".join(SERIAL_CASES)], {},
                   serial_prefix, serial_prefix + ".log"),
        "window": ([window, "--gtest_color=no", "--gtest_filter=" + ":".join(WINDOW_CASES)], {},
                   window_prefix, window_prefix + ".log"),
        "e2e": (["python3", e2e, "windows", "i686", program, driver, *E2E_CASES],
                {"E2E_WINE_PREFIX": e2e_prefix}, e2e_prefix, os.path.join(e2e_prefix, "test.log")),
    }
    cases = "".join(CASE.format(mark=MARK, name=name, command=shlex.join(command),
                                environment=" ".join(f"{k}={shlex.quote(v)}"
                                                     for k, v in environment.items()),
                                prefix=shlex.quote(prefix), log=shlex.quote(log))
                    for name, (command, environment, prefix, log) in suites.items())
    job = os.path.join(work, "job.sh")
    with open(job, "w") as f:
        f.write(JOB.format(mark=MARK, slowdown=SLOWDOWN, cases=cases,
                           prefixes=shlex.join([serial_prefix, window_prefix, e2e_prefix])))

    machine = qemu.MACHINES["pc"]
    qemu.require(machine)
    image, initrd = qemu.boot_files(machine, work, INIT, {"job.sh": job}, MODULES)
    check = Checks()
    began = time.monotonic()
    guest = qemu.Guest(machine, image, initrd, work, QEMU_ARGS, memory=MEMORY,
                       time_limit=TIME_LIMIT, accel="tcg,thread=multi")
    output, status = {}, {}  # suite -> its lines, its exit status
    try:
        guest.expect(MARK + " up")
        print(f"the guest is up after {time.monotonic() - began:.0f} s", flush=True)
        step = time.monotonic()
        made = guest.expect(MARK + " prefix")
        check(made.endswith(" 0"), f"the Wine prefix made in the guest, in {time.monotonic() - step:.0f} s")
        for name in suites:
            guest.expect(f"{MARK} start {name}")
            step, lines = time.monotonic(), []
            while not (line := guest.line_from_console()).startswith(f"{MARK} end {name}"):
                print("  guest: " + line, flush=True)
                lines.append(line)
            output[name], status[name] = lines, line.rsplit(" ", 1)[-1]
            check(status[name] == "0", f"the {name} suite ended with status 0, "
                                       f"after {time.monotonic() - step:.0f} s")
        guest.expect(MARK + " done")
        check(guest.end() is not None, "the guest powered off by itself, "
                                       f"{time.monotonic() - began:.0f} s after it started")
    except (TimeoutError, EOFError) as error:
        check(False, f"the guest ran its job to the end ({error})")
    finally:
        guest.close()

    # Each case by name, as its suite reports it: a filter that matched
    # nothing passes a suite, not the case.
    passed = {m.group(1): int(m.group(2)) / 1000 for m in re.finditer(
        r"^\[       OK \] (\S+) \((\d+) ms\)$", "\n".join(output.get("serial", []) + output.get("window", [])),
        re.M)}
    for name in SERIAL_CASES + WINDOW_CASES:
        check(name in passed, f"{name} passed" + (f" in {passed[name]:.0f} s" if name in passed else ""))
    e2e_output = "\n".join(output.get("e2e", []))
    for name in E2E_CASES:
        check(status.get("e2e") == "0" and re.search(rf"^{name} \(", e2e_output, re.M) is not None,
              f"{name} passed")
    sys.exit(check.status())


if __name__ == "__main__":
    main()
