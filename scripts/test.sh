#!/usr/bin/env bash
# Installs what is missing, builds all three targets (Linux, Windows i686,
# Windows x86-64) and runs every test. CTest's summary is the last word.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-dependencies.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
cd build
ctest --output-on-failure --timeout 300
