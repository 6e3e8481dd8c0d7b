#!/usr/bin/env python3
"""The packages as users get them.

    package_test.py make BUILD DIST [ARCH...]
                                      scripts/package.sh on the builds in BUILD:
                                      the .deb, one for each ARM build ARCH,
                                      both zips and SHA256SUMS, which checks
                                      them, land in DIST, and lintian,
                                      desktop-file-validate and appstreamcli
                                      pass them
    package_test.py reproduce BUILD DIST
                                      builds the packages again from a copy of
                                      the sources in a longer folder, later,
                                      under umask 0002, another locale and time
                                      zone, and finds every file of DIST's
                                      SHA256SUMS the same; names the first
                                      that differs, and shows how (diffoscope)
    package_test.py deb DIST          installs the .deb on this machine with
                                      apt-get, runs the installed program end to
                                      end through the installed port launcher,
                                      checks the menu entry, then purges it and
                                      finds nothing of it left
    package_test.py foreign DIST ARCH  the .deb of an ARM build: made for ARCH
                                      in name, control file and program, the
                                      same files as this machine's, and its
                                      dependencies installable for ARCH
    package_test.py zip DIST BUILD ARCH
                                      the zip of that Windows build holds the
                                      executable, README.txt and the licence;
                                      the executable carries its version
                                      resource and runs under Wine
"""
import configparser
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import ROOT, Checks  # noqa: E402  the tests' shared support

E2E = os.path.join(ROOT, "tests", "e2e", "e2e.py")
check = Checks()


def version():
    """The one version, as debian/changelog gives it to the build."""
    return subprocess.run(["dpkg-parsechangelog", "-l", os.path.join(ROOT, "debian", "changelog"),
                           "-SVersion"], capture_output=True, text=True, check=True).stdout.strip()


def deb_path(dist, arch=None):
    arch = arch or subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                  text=True).stdout.strip()
    return os.path.join(dist, "comtester_%s_%s.deb" % (version(), arch))


def make(build, dist, *arm_arches):
    shutil.rmtree(dist, ignore_errors=True)
    done = subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh"), build, dist])
    check(done.returncode == 0, "package.sh made the packages, lintian showing no error and no warning")
    for name in (deb_path(dist), *(deb_path(dist, arch) for arch in arm_arches),
                 *(os.path.join(dist, "comtester-%s-windows-%s.zip" % (version(), arch))
                   for arch in ("i686", "x86_64"))):
        check(os.path.isfile(name), "%s is there" % os.path.basename(name))
    # It sends no one to an address the project does not hold.
    fields = subprocess.run(["dpkg-deb", "-f", deb_path(dist)], capture_output=True,
                            text=True).stdout
    print(fields)
    check(not re.search(r"^Homepage:", fields, re.M), "the control file names no home page")
    check(re.search(r"^Maintainer: [^<\n]*<[^@>]+@[^>]*\.invalid>$", fields, re.M),
          "its Maintainer's address is under .invalid")
    with tempfile.TemporaryDirectory() as tree:
        subprocess.run(["dpkg-deb", "-x", deb_path(dist), tree], check=True)
        metainfo = glob.glob(os.path.join(tree, "usr/share/metainfo/*.xml"))
        text = open(metainfo[0], encoding="utf-8").read() if metainfo else ""
        print(text)
        check("<release version=\"%s\"" % version() in text and "<url" not in text and
              "<screenshot" not in text and "://" not in text,
              "the AppStream file gives the version and no home page or screenshot address")
    listed = sorted(line.split()[1] for line in open(os.path.join(dist, "SHA256SUMS")))
    check(listed == sorted(f for f in os.listdir(dist) if f != "SHA256SUMS"),
          "SHA256SUMS lists every package (%s)" % " ".join(listed))
    check(subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=dist).returncode == 0,
          "and each checks against it")


def cache_value(build, name):
    cache = open(os.path.join(build, "CMakeCache.txt")).read()
    return re.search(r"^%s:\w+=(.*)$" % name, cache, re.M).group(1)


def sums(dist):
    return dict(reversed(line.split()) for line in open(os.path.join(dist, "SHA256SUMS")))


def reproduce(build, dist):
    started = time.monotonic()
    first = sums(dist)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(dist)) as work:
        # A clone in a longer folder, holding the tracked files as they are here.
        source = os.path.join(work, "a-second-build-in-a-longer-folder", "comtester")
        subprocess.run(["git", "clone", "-q", ROOT, source], check=True)
        tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
        subprocess.run("tar -c --null -T - -f - | tar -x -C '%s' -f -" % source, shell=True, cwd=ROOT,
                       input=tracked, check=True)
        # The package build's tests ran in the first build; they change no byte.
        env = dict(os.environ, LC_ALL="C.UTF-8", TZ="Asia/Taipei", DEB_BUILD_OPTIONS="nocheck")
        env.pop("SOURCE_DATE_EPOCH", None)
        second = os.path.join(source, "build")
        mask = os.umask(0o002)
        try:
            steps = [["cmake", "-S", source, "-B", second, "-G", "Ninja", "-DBUILD_TESTING=OFF",
                      "-DCMAKE_BUILD_TYPE=" + cache_value(build, "CMAKE_BUILD_TYPE"),
                      "-DCOMTESTER_ARM_BUILDS=" + cache_value(build, "COMTESTER_ARM_BUILDS")],
                     ["cmake", "--build", second, "--target", "windows-i686", "windows-x86_64"],
                     ["bash", os.path.join(source, "scripts", "package.sh"), second, os.path.join(source, "dist")]]
            for step in steps:
                if subprocess.run(step, env=env, stdout=subprocess.DEVNULL).returncode != 0:
                    check(False, "the second build: " + " ".join(step))
                    return
        finally:
            os.umask(mask)
        again = sums(os.path.join(source, "dist"))
        check(sorted(again) == sorted(first), "the second build makes the same files (%s)" % " ".join(again))
        for name in sorted(first):
            print("  %s  %s  %s" % (first[name], again.get(name), name))
        differing = [name for name in sorted(first) if again.get(name, first[name]) != first[name]]
        check(not differing, "every file is byte for byte the first build's%s" %
              (" (the first that differs: %s)" % differing[0] if differing else ""))
        if differing and shutil.which("diffoscope"):
            subprocess.run(["diffoscope", "--text", "-", "--max-report-size", "200000",
                            os.path.join(dist, differing[0]), os.path.join(source, "dist", differing[0])])
    print("  the second build took %.0f s" % (time.monotonic() - started))


def installed_files():
    listed = subprocess.run(["dpkg", "-L", "comtester"], capture_output=True, text=True).stdout.split()
    return [p for p in listed if os.path.isfile(p) or os.path.islink(p)]


def deb(dist):
    package = deb_path(dist)
    if subprocess.run(["dpkg", "-s", "comtester"], capture_output=True).returncode == 0:
        sys.exit("comtester is already installed on this machine: not touching it")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    done = subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", package], env=env)
    check(done.returncode == 0, "apt-get installs " + os.path.basename(package))
    files = installed_files()
    try:
        for path in ("/usr/bin/comtester", "/usr/bin/comtester-ports",
                     "/usr/share/doc/comtester/copyright", "/usr/share/man/man1/comtester.1.gz",
                     "/usr/share/man/man1/comtester-ports.1.gz"):
            check(path in files, "installs " + path)
        entries = glob.glob("/usr/share/applications/*.desktop")
        entries = [e for e in entries if e in files]
        check(len(entries) == 1, "one menu entry")
        entry = configparser.ConfigParser(interpolation=None, strict=False)
        entry.optionxform = str
        entry.read(entries[0], encoding="utf-8")
        desktop = entry["Desktop Entry"]
        check(shutil.which(desktop["Exec"].split()[0]) == "/usr/bin/comtester",
              "the entry's Exec finds /usr/bin/comtester")
        icons = [f for f in files if re.search(r"/icons/hicolor/[^/]+/apps/%s\.(png|svg)$" %
                                               re.escape(desktop["Icon"]), f)]
        check(any("/32x32/" in i for i in icons) and any("/scalable/" in i for i in icons),
              "the entry's Icon is in the hicolor theme at 32x32 and scalable")
        metainfo = [f for f in files if f.startswith("/usr/share/metainfo/")]
        check(len(metainfo) == 1 and os.path.basename(entries[0]) in open(metainfo[0]).read(),
              "the AppStream metainfo names the menu entry")
        check(subprocess.run(["man", "-w", "comtester-ports"], capture_output=True).returncode == 0,
              "man finds comtester-ports")

        # The installed program, started by the installed launcher, end to end.
        run = subprocess.run([sys.executable, E2E, "linux", "/usr/bin/comtester",
                              "/usr/bin/comtester-ports", "test_typical_use"])
        check(run.returncode == 0, "the installed program works end to end through the launcher")
    finally:
        done = subprocess.run(["apt-get", "purge", "-y", "-q", "comtester"], env=env)
        check(done.returncode == 0, "apt-get purges it")
    left = [f for f in files if os.path.lexists(f)]
    check(not left, "nothing of it is left (%s)" % " ".join(left))
    check(subprocess.run(["dpkg", "-s", "comtester"], capture_output=True).returncode != 0,
          "dpkg knows it no more")


# An ELF program's class and machine (e_ident[EI_CLASS], e_machine) per architecture.
ELF_MACHINES = {"amd64": (2, 62), "arm64": (2, 183), "armhf": (1, 40)}


def foreign(dist, arch):
    package = deb_path(dist, arch)
    check(os.path.isfile(package), os.path.basename(package) + " is there")
    field = lambda deb, name: subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True,
                                             text=True).stdout.strip()
    check(field(package, "Architecture") == arch, "its control file says Architecture: " + arch)
    native = deb_path(dist)
    for name in ("Package", "Version", "Depends", "Recommends"):
        print("  %s: %s" % (name, field(package, name)))
        if name != "Depends":
            check(field(package, name) == field(native, name), "its %s is the native package's" % name)
    contents = lambda deb: sorted(line.split()[-1] for line in subprocess.run(
        ["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout.splitlines())
    check(contents(package) == contents(native), "it holds the same files as the native package")
    with tempfile.TemporaryDirectory() as tree:
        subprocess.run(["dpkg-deb", "-x", package, tree], check=True)
        header = open(os.path.join(tree, "usr", "bin", "comtester"), "rb").read(20)
        check((header[4], int.from_bytes(header[18:20], "little")) == ELF_MACHINES[arch],
              "its program is built for " + arch)
    # Each dependency, with its version, as apt would fetch it for that architecture.
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    done = subprocess.run(["apt-get", "install", "--simulate", "-q", "--no-install-recommends", package],
                          capture_output=True, text=True, env=env)
    print("\n".join("  " + line for line in done.stdout.splitlines() if line.startswith("Inst ")))
    check(done.returncode == 0 and ("Inst comtester:%s " % arch) in done.stdout,
          "apt can install it with its dependencies for %s (%s)" % (arch, done.stderr.strip()[-300:]))


def version_strings(exe):
    """The version resource's strings, read from the file: each is a
    UTF-16 key, then its value aligned to 32 bits."""
    data = open(exe, "rb").read()
    strings = {}
    for key in ("ProductName", "FileDescription", "FileVersion", "ProductVersion",
                "LegalCopyright", "OriginalFilename"):
        at = data.find((key + "\0").encode("utf-16-le"))
        if at < 0:
            continue
        at += len(key + "\0") * 2
        at += -at % 4
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        strings[key] = data[at:end].decode("utf-16-le")
    return strings


def zip_of(dist, build, arch, route=None):
    """The zip's files; its program started and closed under Wine, or with
    route "--run-in-guest" (the i686 one, where this machine runs no 32-bit
    code) found to be the build's own, which the i686 guest runs."""
    name = os.path.join(dist, "comtester-%s-windows-%s.zip" % (version(), arch))
    with zipfile.ZipFile(name) as archive, tempfile.TemporaryDirectory() as unpacked:
        check(sorted(archive.namelist()) == ["LICENSE.txt", "README.txt", "comtester.exe"],
              "%s holds the executable, README.txt and LICENSE.txt" % os.path.basename(name))
        archive.extractall(unpacked)
        readme = open(os.path.join(unpacked, "README.txt"), "rb").read()
        text = readme.decode("utf-8-sig")
        check(b"\r\n" in readme and b"\n" not in readme.replace(b"\r\n", b""),
              "README.txt has Windows line ends")
        check("Device Manager" in text and "裝置管理員" in text and "COM1" in text,
              "README.txt tells in English and Chinese how to make an adapter COM1 or COM2")
        check("MIT" in open(os.path.join(unpacked, "LICENSE.txt"), encoding="utf-8-sig").read(),
              "LICENSE.txt is the MIT licence")
        exe = os.path.join(unpacked, "comtester.exe")
        strings = version_strings(exe)
        print("  version resource: %s" % strings)
        check(strings.get("ProductVersion") == version() and strings.get("FileVersion") == version(),
              "the executable says version %s" % version())
        check(strings.get("OriginalFilename") == "comtester.exe" and bool(strings.get("ProductName")) and
              bool(strings.get("FileDescription")) and "MIT" in strings.get("LegalCopyright", ""),
              "and names its product, description, copyright and file")
        if route == "--run-in-guest":
            built = os.path.join(build, "windows-" + arch, "app", "comtester.exe")
            check(open(exe, "rb").read() == open(built, "rb").read(),
                  "the unzipped executable is the build's own, which guest.windows_%s.smoke_set "
                  "runs" % arch)
            return
        # Started and closed by its frame, as e2e.py does with the build's own.
        driver = os.path.join(build, "windows-" + arch, "tests", "winui", "window_driver.exe")
        run = subprocess.run([sys.executable, E2E, "windows", arch, exe, driver, "test_closing_by_the_frame"])
        check(run.returncode == 0, "the unzipped executable runs under Wine")


def main():
    command, args = sys.argv[1], sys.argv[2:]
    paths = [os.path.abspath(a) for a in args[:2]]
    if command == "foreign":
        paths = paths[:1]
    {"make": make, "reproduce": reproduce, "deb": deb, "foreign": foreign, "zip": zip_of}[command](*paths, *args[len(paths):])
    sys.exit(check.status())


if __name__ == "__main__":
    main()
