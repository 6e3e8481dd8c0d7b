#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

# The same line the program says when no desktop answers, said before the
# install and the build that would be for nothing.
no_desktop() {
  echo "comtester needs a graphical desktop (DISPLAY or WAYLAND_DISPLAY), and none answers." >&2
  exit 0
}
# A platform named in QT_QPA_PLATFORM is the toolkit's to judge.
if [ -z "${QT_QPA_PLATFORM:-}" ]; then
  [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || no_desktop
fi

bash scripts/install-dependencies.sh

if [ -z "${QT_QPA_PLATFORM:-}" ]; then
  wayland=${WAYLAND_DISPLAY:-}
  [ -n "$wayland" ] && [ "${wayland#/}" = "$wayland" ] && wayland=${XDG_RUNTIME_DIR:-/nonexistent}/$wayland
  { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; } || { [ -n "$wayland" ] && [ -S "$wayland" ]; } ||
    no_desktop
fi

cmake --preset run
cmake --build --preset run
exec build-run/app/comtester
