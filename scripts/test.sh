#!/usr/bin/env bash
# Installs what is missing, builds every target (Linux, Windows i686,
# Windows x86-64, Linux arm64 and armhf, and the sanitized serial link with
# the fuzz targets) and runs every test, the ARM programs' under emulation,
# the fuzz targets and clang-tidy included. CTest's summary is the last word.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-dependencies.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMTESTER_ARM_BUILDS="arm64;armhf"
cmake --build build
cd build
ctest --output-on-failure --timeout 300
