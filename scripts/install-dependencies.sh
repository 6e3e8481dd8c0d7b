#!/usr/bin/env bash
# Installs, through apt-get, everything the builds and tests need on Debian 12.
# Quick when everything is already there: it only asks apt for what is missing.
set -euo pipefail

packages=(
  # Linux build
  cmake ninja-build g++ pkg-config qt6-base-dev libgtest-dev fonts-noto-cjk
  # Windows builds
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-i686-dev mingw-w64-x86-64-dev
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  # running and looking at the programs in tests, the demo and the benchmarks
  wine64 xvfb openbox xdotool wmctrl xclip x11-utils imagemagick python3 util-linux file
  # the tests' own Big5 and UTF-8 locales (localedef and its sources)
  locales
  # the serial link on a UART driver in an emulated machine
  qemu-system-x86 busybox-static
  # the window as a screen reader hears it on Linux
  at-spi2-core python3-pyatspi dbus-daemon
  # packages: the Debian package, its checks, the Windows zips, the port launcher
  dpkg-dev lintian desktop-file-utils appstream zip unzip bubblewrap
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
# wine32 comes from the i386 half of the archive, which apt must be told of.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture for wine32"
  "${sudo[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
