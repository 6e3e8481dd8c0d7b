#!/usr/bin/env bash
# Usage: virtual-ports.sh COM1-DEVICE COM2-DEVICE COMMAND [ARGS...]
#
# Runs COMMAND in a private mount namespace where /dev/ttyS0 (COM1) and
# /dev/ttyS1 (COM2) are the given devices, typically the near ends of
# pseudo-terminals (/dev/pts/N). Nothing changes outside the namespace, so
# the machine's own serial ports are never touched. Needs root, or a system
# that allows unprivileged user namespaces.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  if [ $# -lt 3 ]; then
    echo "usage: $0 COM1-DEVICE COM2-DEVICE COMMAND [ARGS...]" >&2
    exit 2
  fi
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --mount --propagation private bash "$0" --inside "$@"
  fi
  exec unshare --user --map-root-user --mount --propagation private bash "$0" --inside "$@"
fi
shift
com1=$(readlink -f "$1")
com2=$(readlink -f "$2")
shift 2

# A /dev of our own holding only what a desktop program needs, plus the two
# ports, so that the ports' names need not exist on the machine.
real=$(mktemp -d)
mount --rbind /dev "$real"
mount -t tmpfs -o mode=755 private-dev /dev
for node in null zero full random urandom tty ptmx; do
  [ -e "$real/$node" ] || continue
  touch "/dev/$node"
  mount --bind "$real/$node" "/dev/$node"
done
for dir in pts shm; do
  [ -d "$real/$dir" ] || continue
  mkdir "/dev/$dir"
  mount --bind "$real/$dir" "/dev/$dir"
done
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr

port() {  # port DEVICE TARGET
  local source=$1
  case "$source" in /dev/*) source="$real/${source#/dev/}" ;; esac
  touch "$2"
  mount --bind "$source" "$2"
}
port "$com1" /dev/ttyS0
port "$com2" /dev/ttyS1
umount --lazy "$real"
rmdir "$real" 2>/dev/null || true

exec "$@"
