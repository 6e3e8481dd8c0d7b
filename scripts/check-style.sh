#!/usr/bin/env bash
# The house style, checked by machine: every C++ file as .clang-format lays
# it out, and every shell script clean under shellcheck. Prints what differs
# and fails; changes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
mapfile -t scripts < <(git ls-files -- '*.sh' .ci/run scripts/comtester-ports)
status=0
clang-format --dry-run -Werror "${sources[@]}" || status=1
shellcheck "${scripts[@]}" || status=1
exit $status
