#!/usr/bin/env bash
# Usage: bash scripts/demo.sh [--windows]
#
# Starts the program on a virtual null-modem line: COM1 and COM2 are
# pseudo-terminals whose far ends echo every byte back and print it here.
# Open a port, type in the send box, press send, then receive: the text comes
# back. The Linux program starts through scripts/comtester-ports, the launcher
# that users run for their own devices, with /dev/ttyS0 and /dev/ttyS1 bound
# to the virtual lines in a private /dev; with --windows, the Windows x86-64
# program runs under wine64 with COM1 and COM2 mapped to them.
set -euo pipefail
cd "$(dirname "$0")/.."

windows=false
[ "${1:-}" = --windows ] && windows=true
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "The demo opens a window: run it on a desktop (DISPLAY is not set)." >&2
  exit 1
fi

bash scripts/install-dependencies.sh
if $windows; then
  cmake --preset windows-x86_64
  cmake --build --preset windows-x86_64
else
  cmake --preset run
  cmake --build --preset run
fi

coproc PEER { exec python3 scripts/echo-peer.py COM1 COM2; }
peer=$PEER_PID
trap 'kill $peer 2>/dev/null || true' EXIT
read -r com1 <&"${PEER[0]}"
read -r com2 <&"${PEER[0]}"

if ! $windows; then
  scripts/comtester-ports "$com1" "$com2" -- build-run/app/comtester || true
  exit 0
fi

wine=/usr/lib/wine/wine64
export WINEPREFIX="${XDG_DATA_HOME:-$HOME/.local/share}/comtester/wine-demo"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
# Both ports, always: a port left unmapped falls back to the machine's own.
for port in COM1:"$com1" COM2:"$com2"; do
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "${port%%:*}" /t REG_SZ /d "${port#*:}" /f >/dev/null 2>&1
done
/usr/lib/wine/wineserver64 -k || true
/usr/lib/wine/wineserver64 -w
"$wine" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
for port in com1:"$com1" com2:"$com2"; do
  link=$(readlink "$WINEPREFIX/dosdevices/${port%%:*}" || true)
  if [ "$link" != "${port#*:}" ]; then
    echo "Wine maps ${port%%:*} to '$link', not ${port#*:}; not starting." >&2
    exit 1
  fi
done
"$wine" build-windows-x86_64/app/comtester.exe 2>/dev/null || true
