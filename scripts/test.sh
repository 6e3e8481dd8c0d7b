#!/usr/bin/env bash
# Installs what is missing, builds every target (Linux, Windows i686,
# Windows x86-64, Linux arm64 and armhf, and the sanitized serial link with
# the fuzz targets) and runs every test, the ARM programs' under emulation,
# the fuzz targets and clang-tidy included. CTest's summary is the last word.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-dependencies.sh
# The build tree's path is 150 characters or more, as in a deep checkout: a
# test that puts a socket or another path with a length limit inside it
# fails here, not only on a user's machine.
build=$PWD/build/ci
while [ ${#build} -lt 150 ]; do build+=/deep; done
cmake --preset default -B "$build"
cmake --build "$build"
cd "$build"
ctest --output-on-failure --timeout 300
