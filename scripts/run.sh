#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-dependencies.sh
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCOMTESTER_WINDOWS_BUILDS=OFF
cmake --build build-run
if [ ! -x build-run/app/comtester ]; then
  echo "The window is not built yet: so far the serial link and its tests exist (bash scripts/test.sh)."
  exit 0
fi
exec build-run/app/comtester
