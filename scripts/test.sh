#!/usr/bin/env bash
# Installs what is missing, builds every target (Linux, Windows i686,
# Windows x86-64, Linux arm64 and armhf, and the sanitized serial link with
# the fuzz targets) and runs every test, the ARM programs' under emulation,
# the fuzz targets and clang-tidy included. CTest's summary is the last word.
#
#   bash scripts/test.sh          the tests on the machine as it is
#   bash scripts/test.sh --busy   the tests beside two CPU-bound loops, as CI
#                                 runs them: a deadline that holds only on an
#                                 idle machine fails here, not on a user's
set -euo pipefail
cd "$(dirname "$0")/.."

busy=false
case "${1-}" in
  --busy) busy=true ;;
  "") ;;
  *)
    echo "usage: $0 [--busy]" >&2
    exit 2
    ;;
esac

bash scripts/install-dependencies.sh
# The build tree's path is 150 characters or more, as in a deep checkout: a
# test that puts a socket or another path with a length limit inside it
# fails here, not only on a user's machine.
build=$PWD/build/ci
while [ ${#build} -lt 150 ]; do build+=/deep; done
cmake --preset default -B "$build"
cmake --build "$build"
cd "$build"

if ! $busy; then
  exec ctest --output-on-failure --timeout 300
fi

# Two loops at normal priority, one per core of a small machine. Each also
# ends by itself once this script is gone, however it ended.
loops=()
stop_loops() {
  [ ${#loops[@]} -eq 0 ] || kill -KILL "${loops[@]}" 2>/dev/null || true
  loops=()
}
trap stop_loops EXIT
for _ in 1 2; do
  (while kill -0 $$ 2>/dev/null; do :; done) &
  loops+=($!)
done
status=0
# The 32-bit guest (a machine without 32-bit code) is slow enough on its own:
# its tests run after the loops have stopped.
ctest --output-on-failure --timeout 300 -LE guest || status=$?
stop_loops
ctest --output-on-failure --timeout 300 -L guest --no-tests=ignore || status=$?
exit $status
