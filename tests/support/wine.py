"""Windows programs under Wine: x86-64 under wine64, i686 under 32-bit wine
in a win32 prefix, each test run in a fresh prefix of its own whose COM1 and
COM2 lead to chosen devices."""
import errno
import os
import shutil
import subprocess
import sys
import tempfile

from support import CANNOT_RUN_MARK, patience, wait_for

# Per Windows architecture: the loader, its server, WINEARCH of a new prefix,
# and the package that provides them.
ARCHES = {
    "x86_64": ("/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64", "wine64"),
    "i686": ("/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32", "wine32:i386"),
}


def cannot_run(arch):
    """Why this machine cannot execute the architecture's programs, or None.
    The loader is itself such a program (an i386 ELF for i686); a kernel
    without support for its code refuses to execute it. A missing wine is no
    reason: the install script installs it."""
    wine, wineserver, _, package = ARCHES[arch]
    for tool in (wine, wineserver):
        if not os.access(tool, os.X_OK):
            sys.exit("missing %s: scripts/install-dependencies.sh installs %s" % (tool, package))
    try:
        subprocess.run([wine, "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=30)
    except OSError as error:
        if error.errno != errno.ENOEXEC:
            raise
        return "%s %s programs: the kernel refuses %s (%s)" % (CANNOT_RUN_MARK, arch, wine,
                                                               error.strerror)
    return None


class Prefix:
    """A Wine prefix, the environment pointing wine at it, what wine prints
    going to a log in it. Without a `path`, a fresh one in a new folder,
    removed on close; with one, made there once and kept for the next run
    (making one takes a while)."""

    def __init__(self, arch, path=None):
        self.wine, self.wineserver, winearch, _ = ARCHES[arch]
        self.kept = path is not None
        self.path = path or tempfile.mkdtemp(prefix="comtester-wine-%s-" % arch)
        os.environ.update(WINEPREFIX=self.path, WINEARCH=winearch, WINEDEBUG="-all",
                          LC_ALL="C", WINEDLLOVERRIDES="mscoree,mshtml=")
        os.makedirs(self.path, exist_ok=True)
        self.log = open(os.path.join(self.path, "test.log"), "w")
        ready = os.path.join(self.path, "comtester-ready")  # made whole, by an earlier run too
        if not os.path.exists(ready):
            self.run("wineboot", "--init", timeout=patience(180))
            subprocess.run([self.wineserver, "-w"], check=True, timeout=patience(180))
            open(ready, "w").close()

    def run(self, *args, timeout=60):
        """Runs a Windows tool of the prefix's that must succeed."""
        subprocess.run([self.wine, *args], stdout=self.log, stderr=self.log, check=True,
                       timeout=patience(timeout))

    def start(self, program, **popen):
        popen.setdefault("stdout", self.log)
        popen.setdefault("stderr", self.log)
        return subprocess.Popen([self.wine, program], **popen)

    def map_ports(self, com1, com2):
        """COM1 and COM2 on those devices, checked to be there before any
        program starts. Only pseudo-terminals or the tests' own files: Wine
        falls back to /dev/ttyS<n-1>, the machine's console here, for a link
        leading nowhere."""
        for path in (com1, com2):
            if not (path.startswith("/dev/pts/") and os.path.exists(path) or
                    os.path.isfile(path) and not path.startswith("/dev/")):
                raise AssertionError("refusing to map a port to %s" % path)
        for name, path in (("COM1", com1), ("COM2", com2)):
            self.run("reg", "add", r"HKLM\Software\Wine\Ports", "/v", name, "/t", "REG_SZ",
                     "/d", path, "/f")
        subprocess.run([self.wineserver, "-k"], stdout=self.log, stderr=self.log, timeout=patience(60))
        subprocess.run([self.wineserver, "-w"], timeout=patience(60))
        self.run("reg", "query", r"HKLM\Software\Wine\Ports")
        dosdevices = os.path.join(self.path, "dosdevices")
        links = lambda: [os.readlink(os.path.join(dosdevices, n))
                         if os.path.islink(os.path.join(dosdevices, n)) else None
                         for n in ("com1", "com2")]
        if not wait_for(lambda: links() == [com1, com2], 10):
            raise AssertionError("COM ports map to %s, not %s" % (links(), [com1, com2]))

    def close(self):
        # Ended before the next run of a kept prefix meets it on its way out.
        subprocess.run([self.wineserver, "-k"], stdout=self.log, stderr=self.log)
        subprocess.run([self.wineserver, "-w"], timeout=patience(60))
        self.log.close()
        if not self.kept:
            shutil.rmtree(self.path, ignore_errors=True)
