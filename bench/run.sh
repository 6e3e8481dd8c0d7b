#!/usr/bin/env bash
# Builds the benchmarks and prints one table: start-up and peak memory of the
# Linux program against a minimal Qt program of the same window, click to done
# in process, and the sizes and imports of the three executables.
#
#   bash bench/run.sh            BENCH_BUILD=<dir>  (default: build/)
#                                BENCH_RUNS=<n>     start-up runs per program (default 9)
#                                BENCH_CLICKS=<n>   runs per click figure (default 51)
#                                BENCH_WINDOWS=<prefix>  Windows build dirs, <prefix>i686 and
#                                                   <prefix>x86_64 (default: <build>/windows-)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build}
runs=${BENCH_RUNS:-11}
clicks=${BENCH_CLICKS:-51}
windows=${BENCH_WINDOWS:-$build/windows-}
settle_ms=500

for tool in Xvfb cmake; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-dependencies.sh)" >&2; exit 1; }
done

# --- build ------------------------------------------------------------------
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target comtester bench_minimal_form bench_startwatch bench_clicks >/dev/null
if grep -q '^COMTESTER_WINDOWS_BUILDS:BOOL=ON' "$build/CMakeCache.txt"; then
  for arch in i686 x86_64; do
    cmake --build "$build" --target "windows-$arch" >"$build/bench-windows-$arch.log" 2>&1 ||
      echo "run.sh: the windows-$arch build failed (see $build/bench-windows-$arch.log); its figures may be stale" >&2
  done
fi

app=$build/app/comtester
floor=$build/bench/bench_minimal_form
watch=$build/bench/bench_startwatch

# --- a private X server, no window manager (see startwatch.cpp) --------------
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "run.sh: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")
unset QT_QPA_PLATFORM

# --- start-up and peak memory, the two programs alternately -----------------
start_once() {  # program, output prefix
  local out
  out=$("$watch" Form1 "$settle_ms" "$1" 2>>"$work/programs.log") ||
    { echo "run.sh: start-up run of $1 failed" >&2; cat "$work/programs.log" >&2; exit 1; }
  local ms=${out#startup_ms=}; ms=${ms%% *}
  local kib=${out##*peak_kib=}; kib=${kib%% *}
  local cpu=${out##*cpu_ms=}
  echo "$ms" >>"$work/$2.ms"
  echo "$cpu" >>"$work/$2.cpu"
  echo "$kib" >>"$work/$2.kib"
}
# One unmeasured run each, so that both start from warm caches.
"$watch" Form1 "$settle_ms" "$app" >/dev/null 2>>"$work/programs.log"
"$watch" Form1 "$settle_ms" "$floor" >/dev/null 2>>"$work/programs.log"
for i in $(seq "$runs"); do
  if ((i % 2)); then start_once "$app" app; start_once "$floor" floor
  else start_once "$floor" floor; start_once "$app" app; fi
done

median() { sort -g "$1" | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
app_ms=$(median "$work/app.ms");   floor_ms=$(median "$work/floor.ms")
app_kib=$(median "$work/app.kib"); floor_kib=$(median "$work/floor.kib")
app_cpu=$(median "$work/app.cpu"); floor_cpu=$(median "$work/floor.cpu")

# --- click to done, in process ----------------------------------------------
clicks_out=$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_clicks" "$clicks" 2>>"$work/programs.log")
click() { sed -n "s/^$1_us=\([0-9.]*\) .*/\1/p" <<<"$clicks_out"; }
recv_us=$(click receive_1024_shown)
paint_us=$(click receive_1024_painted)
send_us=$(click send_64k_delivered)

# --- table --------------------------------------------------------------------
row() { printf '%-44s %14s %14s %9s  %-16s %s\n' "$@"; }
mark() { awk -v v="$1" -v lim="$2" 'BEGIN {print (v <= lim) ? "pass" : "MISS"}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
kib() { awk -v b="$1" 'BEGIN {printf "%.1f KiB", b / 1024}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f MiB", k / 1024}'; }

echo
echo "comtester benchmarks — $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, Xvfb $DISPLAY, medians"
echo
row "figure" "comtester" "minimal Qt" "ratio" "aim" "mark"
row "start-up: exec to window mapped ($runs runs)" "$app_ms ms" "$floor_ms ms" \
  "$(ratio "$app_ms" "$floor_ms")" "<= 1.20x" "$(mark "$(ratio "$app_ms" "$floor_ms" | tr -d x)" 1.2)"
# Steadier than the wall time when the machine is shared; no aim of its own.
row "start-up: CPU time, exec to settled" "$app_cpu ms" "$floor_cpu ms" "$(ratio "$app_cpu" "$floor_cpu")" "-" ""
row "peak resident memory ($runs runs)" "$(mib "$app_kib")" "$(mib "$floor_kib")" \
  "$(ratio "$app_kib" "$floor_kib")" "<= 1.20x" "$(mark "$(ratio "$app_kib" "$floor_kib" | tr -d x)" 1.2)"
row "receive 1024 B: click to memo shows ($clicks)" "$recv_us us" "" "" "< 1000 us" "$(mark "$recv_us" 999.999)"
row "receive 1024 B: click to repainted ($clicks)" "$paint_us us" "" "" "-" ""
row "send 64 KiB: click to last byte at peer ($clicks)" "$send_us us" "" "" "-" ""

row "size: Linux build/app/comtester" "$(kib "$(stat -c %s "$app")")" "" "" "-" ""
for arch in i686 x86_64; do
  exe=${windows}$arch/app/comtester.exe
  if [ -f "$exe" ]; then
    size=$(stat -c %s "$exe")
    if [ "$arch" = i686 ]; then
      row "size: windows-$arch comtester.exe" "$(kib "$size")" "" "" "< 256 KiB" "$(mark "$size" $((256 * 1024 - 1)))"
    else
      row "size: windows-$arch comtester.exe" "$(kib "$size")" "" "" "-" ""
    fi
  else
    row "size: windows-$arch comtester.exe" "not built" "" "" "$([ $arch = i686 ] && echo '< 256 KiB' || echo -)" ""
  fi
done

exe=${windows}i686/app/comtester.exe
if [ -f "$exe" ]; then
  dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
  # The system's own DLLs; the compiler's runtimes must be inside the program.
  foreign=$(tr ' ' '\n' <<<"$dlls" | grep -v '^$' |
    grep -viE '^(kernel32|user32|gdi32|comctl32|comdlg32|msvcrt|advapi32|shell32|ole32|oleaut32|uxtheme|imm32|winmm|version|shlwapi)\.dll$' || true)
  row "i686 imports only system DLLs" "$([ -z "$foreign" ] && echo yes || echo no)" "" "" "yes" \
    "$([ -z "$foreign" ] && echo pass || echo MISS)"
  echo "  i686 imports: $dlls"
  [ -n "$foreign" ] && echo "  not the system's: $(tr '\n' ' ' <<<"$foreign")"
else
  row "i686 imports only system DLLs" "not built" "" "" "yes" ""
fi
echo
