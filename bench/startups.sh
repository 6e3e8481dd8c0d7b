#!/usr/bin/env bash
# Start-up and peak memory of several GUI programs, measured alike: one
# unmeasured run each for warm caches, then RUNS rounds, the programs in a
# turning order. Run by run.sh on its private X server, inside a private
# /dev (scripts/comtester-ports) where /dev/ttyS0 and /dev/ttyS1 are
# pseudo-terminals, so that a terminal program opening its default port
# touches nothing of the machine.
#
#   startups.sh WATCH SETTLE_MS RUNS OUT_DIR LABEL=WINDOW_NAME=PROGRAM...
#   appends to OUT_DIR/LABEL.ms, .kib and .cpu one line per run
set -euo pipefail
watch=$1 settle=$2 runs=$3 out=$4
shift 4
programs=("$@")

once() {  # LABEL=WINDOW_NAME=PROGRAM, measured?
  local label=${1%%=*} rest=${1#*=}
  local name=${rest%%=*} program=${rest#*=} result
  result=$("$watch" "$name" "$settle" "$program" 2>>"$out/programs.log") ||
    { echo "startups.sh: start-up run of $program failed:" >&2; tail -n 20 "$out/programs.log" >&2; exit 1; }
  [ "$2" = yes ] || return 0
  local ms=${result#startup_ms=}; ms=${ms%% *}
  local kib=${result##*peak_kib=}; kib=${kib%% *}
  echo "$ms" >>"$out/$label.ms"
  echo "$kib" >>"$out/$label.kib"
  echo "${result##*cpu_ms=}" >>"$out/$label.cpu"
}

for p in "${programs[@]}"; do once "$p" no; done
n=${#programs[@]}
for ((i = 0; i < runs; i++)); do
  for ((j = 0; j < n; j++)); do once "${programs[(i + j) % n]}" yes; done
done
