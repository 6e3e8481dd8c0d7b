#!/usr/bin/env bash
# Installs, through apt-get, everything the builds and tests need on Debian 12.
# Quick when everything is already there: it only asks apt for what is missing.
set -euo pipefail

packages=(
  # Linux build
  cmake ninja-build g++ pkg-config qt6-base-dev libgtest-dev fonts-noto-cjk
  # the sanitized build and fuzz targets (clang, its sanitizer and libFuzzer
  # runtimes), the static analysis and the house style's checks
  clang libclang-rt-14-dev clang-tidy clang-format shellcheck
  # Windows builds
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-i686-dev mingw-w64-x86-64-dev
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  # ARM builds (arm64, armhf): the cross toolchains and the ARM halves of the
  # libraries, beside the machine's own; qemu-user to run their programs
  crossbuild-essential-arm64 crossbuild-essential-armhf
  qt6-base-dev:arm64 qt6-base-dev:armhf qt6-qpa-plugins:arm64 qt6-qpa-plugins:armhf
  libgtest-dev:arm64 libgtest-dev:armhf qemu-user-static
  # running and looking at the programs in tests, the demo and the benchmarks
  wine64 xvfb openbox xdotool wmctrl xclip x11-utils imagemagick python3 util-linux file
  # a Latin font alone, for the run without a font for the captions
  fonts-dejavu-core
  # the tests' own Big5 and UTF-8 locales (localedef and its sources)
  locales
  # the serial link on a UART driver in an emulated PC and ARM machine
  qemu-system-x86 qemu-system-arm busybox-static
  # the window as a screen reader hears it on Linux
  at-spi2-core python3-pyatspi dbus-daemon
  # packages: the Debian source package's build, its checks, the Windows zips,
  # the port launcher; diffoscope's small edition to show how two builds differ
  dpkg-dev debhelper lintian desktop-file-utils appstream zip unzip bubblewrap
  diffoscope-minimal
  # the serial programs that the peer tests run beside ours, and their terminal
  minicom picocom screen tmux qt6-serialport-dev
  # the Linux program on a Wayland compositor, driven and looked at there
  qt6-wayland sway wtype grim wl-clipboard xwayland
  # the i686 programs, under 32-bit wine in a win32 prefix
  wine32:i386
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# wine32 comes from the i386 half of the archive, the ARM builds' libraries
# (and the ARM guest's kernel and busybox) from the arm64 and armhf halves,
# which apt must be told of.
for arch in i386 arm64 armhf; do
  if ! dpkg --print-foreign-architectures | grep -qx $arch; then
    echo "Adding the $arch architecture"
    "${sudo[@]}" dpkg --add-architecture $arch
  fi
done
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
