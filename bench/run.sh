#!/usr/bin/env bash
# Builds the benchmarks and prints one table: start-up and peak memory of the
# Linux program against a minimal Qt program of the same window and against
# the two serial terminals a Linux user would pick instead (gtkterm and
# cutecom, installed here through apt-get if missing), click to done in
# process, and the sizes and imports of the three executables; then the same
# start-up figures on a Wayland compositor (sway), natively and through
# Xwayland, beside the minimal Qt program and gtkterm there.
#
#   bash bench/run.sh            BENCH_BUILD=<dir>  (default: build/)
#                                BENCH_RUNS=<n>     start-up runs per program (default 11)
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

for tool in Xvfb cmake python3 unshare sway swaymsg setpriv; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-dependencies.sh)" >&2; exit 1; }
done

# The peers: only the benchmark needs them, so only it installs them.
peers=(gtkterm cutecom)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "run.sh: installing the programs compared against: ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q -o DPkg::Lock::Timeout=300 \
    --no-install-recommends "${missing[@]}" >&2
fi

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
ptys_pid=
sway_pid=
# A process ended by the signal makes wait fail, which under set -e would
# end the clean-up before the rest.
stop() { [ -z "$1" ] || { kill "$1" && wait "$1"; } 2>/dev/null || true; }
cleanup() {
  stop "$ptys_pid"
  stop "$sway_pid"
  stop "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "run.sh: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
DISPLAY=:$(head -n1 "$work/display")
export DISPLAY
unset QT_QPA_PLATFORM

# Every program runs in the same throwaway desktop: its own home and XDG
# folders (the peers write their settings there), and a session bus address
# where nothing listens, so that none of them starts or reaches a bus.
mkdir -p "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache \
  XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/runtime \
  DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
unset SESSION_MANAGER XDG_SESSION_TYPE WAYLAND_DISPLAY

# Two pseudo-terminals held open for the run: gtkterm opens /dev/ttyS0 as it
# starts, and here that is one of these, never a port of the machine.
python3 -c '
import os, pty, signal, sys
names = []
for _ in range(2):
    master, slave = pty.openpty()
    names.append(os.ttyname(slave))
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(" ".join(names) + "\n")
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
signal.pause()' "$work/ptys" &
ptys_pid=$!
for _ in $(seq 100); do [ -s "$work/ptys" ] && break; sleep 0.05; done
[ -s "$work/ptys" ] || { echo "run.sh: no pseudo-terminals" >&2; exit 1; }
read -r com1 com2 <"$work/ptys"

# --- start-up and peak memory, all four measured alike ------------------------
bash "$root/scripts/comtester-ports" "$com1" "$com2" -- bash "$root/bench/startups.sh" \
  "$watch" "$settle_ms" "$runs" "$work" \
  "app=Form1=$app" "floor=Form1=$floor" \
  "gtkterm=GTKTerm - GTKTerm=$(command -v gtkterm)" "cutecom=CuteCom - Default=$(command -v cutecom)"

median() { sort -g "$1" | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
declare -A ms kib cpu  # by program
for who in app floor gtkterm cutecom; do
  ms[$who]=$(median "$work/$who.ms")
  kib[$who]=$(median "$work/$who.kib")
  cpu[$who]=$(median "$work/$who.cpu")
done
peer_ms=$(awk -v a="${ms[gtkterm]}" -v b="${ms[cutecom]}" 'BEGIN {print (a < b) ? a : b}')
peer_kib=$(awk -v a="${kib[gtkterm]}" -v b="${kib[cutecom]}" 'BEGIN {print (a < b) ? a : b}')

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
four() { printf '%-44s %14s %14s %14s %14s\n' "$@"; }

echo
echo "comtester benchmarks — $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, Xvfb $DISPLAY, medians"
echo
four "start-up and memory ($runs runs)" "comtester" "minimal Qt" "gtkterm" "cutecom"
four "exec to window mapped" "${ms[app]} ms" "${ms[floor]} ms" "${ms[gtkterm]} ms" "${ms[cutecom]} ms"
# Steadier than the wall time when the machine is shared; no aim of its own.
four "CPU time, exec to settled" "${cpu[app]} ms" "${cpu[floor]} ms" "${cpu[gtkterm]} ms" "${cpu[cutecom]} ms"
four "peak resident memory" "$(mib "${kib[app]}")" "$(mib "${kib[floor]}")" "$(mib "${kib[gtkterm]}")" \
  "$(mib "${kib[cutecom]}")"
echo
row "figure" "comtester" "against" "ratio" "aim" "mark"
row "start-up vs minimal Qt" "${ms[app]} ms" "${ms[floor]} ms" "$(ratio "${ms[app]}" "${ms[floor]}")" "<= 1.20x" \
  "$(mark "$(ratio "${ms[app]}" "${ms[floor]}" | tr -d x)" 1.2)"
row "start-up vs the faster peer" "${ms[app]} ms" "$peer_ms ms" "$(ratio "${ms[app]}" "$peer_ms")" "<= 0.50x" \
  "$(mark "$(ratio "${ms[app]}" "$peer_ms" | tr -d x)" 0.5)"
row "peak memory vs minimal Qt" "$(mib "${kib[app]}")" "$(mib "${kib[floor]}")" \
  "$(ratio "${kib[app]}" "${kib[floor]}")" "<= 1.20x" "$(mark "$(ratio "${kib[app]}" "${kib[floor]}" | tr -d x)" 1.2)"
row "peak memory vs the lighter peer" "$(mib "${kib[app]}")" "$(mib "$peer_kib")" \
  "$(ratio "${kib[app]}" "$peer_kib")" "<= 1.00x" "$(mark "${kib[app]}" "$peer_kib")"
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

# --- start-up and memory on a Wayland compositor --------------------------------
# sway, headless, run as a normal user (it refuses root), every window floating
# at its own size as on a stacking desktop. The program natively on Wayland and
# through Xwayland, the minimal Qt program and gtkterm natively, all run as that
# user and measured alike by sway's window events (swaywatch.py).
wl=$work/wayland
wl_user=nobody
chmod 711 "$work"
install -d -m 700 -o "$wl_user" "$wl" "$wl/runtime" "$wl/home"
printf 'output HEADLESS-1 resolution 1280x800\nfor_window [title=".*"] floating enable\n' >"$wl/config"
as_user=(setpriv "--reuid=$wl_user" --regid=nogroup --clear-groups env -i "PATH=$PATH" "LANG=${LANG:-C.UTF-8}" "HOME=$wl/home"
  "XDG_RUNTIME_DIR=$wl/runtime" "DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus")
"${as_user[@]}" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  sway -c "$wl/config" >"$wl/sway.log" 2>&1 &
sway_pid=$!
sockets() { find "$wl/runtime" -maxdepth 1 -type s -name "$1" | head -n1; }
for _ in $(seq 200); do [ -n "$(sockets 'sway-ipc.*')" ] && [ -n "$(sockets 'wayland-*')" ] && break; sleep 0.05; done
swaysock=$(sockets 'sway-ipc.*')
wayland=$(basename "$(sockets 'wayland-*')")
if [ -z "$swaysock" ] || [ "$wayland" = . ]; then
  echo "run.sh: sway did not start" >&2
  cat "$wl/sway.log" >&2
  exit 1
fi
# Xwayland's display is in the environment sway gives the programs it starts.
SWAYSOCK=$swaysock swaymsg exec "echo \$DISPLAY >$wl/display.tmp && mv $wl/display.tmp $wl/display" >/dev/null
for _ in $(seq 200); do [ -s "$wl/display" ] && break; sleep 0.05; done
[ -s "$wl/display" ] || { echo "run.sh: sway named no Xwayland display" >&2; exit 1; }
printf '#!/bin/sh\nunset WAYLAND_DISPLAY\nexec "%s"\n' "$app" >"$wl/comtester-x11"
chmod 755 "$wl/comtester-x11"
chmod 666 "$com1" "$com2"  # the bench's own pseudo-terminals, for gtkterm run as that user
bash "$root/scripts/comtester-ports" "$com1" "$com2" -- "${as_user[@]}" "WAYLAND_DISPLAY=$wayland" \
  "SWAYSOCK=$swaysock" "DISPLAY=$(cat "$wl/display")" bash "$root/bench/startups.sh" \
  "$root/bench/swaywatch.py" "$settle_ms" "$runs" "$wl" \
  "wl_app=Form1=$app" "wl_x11=Form1=$wl/comtester-x11" "wl_floor=Form1=$floor" \
  "wl_gtkterm=GTKTerm - GTKTerm=$(command -v gtkterm)"
for who in wl_app wl_x11 wl_floor wl_gtkterm; do
  ms[$who]=$(median "$wl/$who.ms")
  kib[$who]=$(median "$wl/$who.kib")
  cpu[$who]=$(median "$wl/$who.cpu")
done
four "on sway, floating ($runs runs)" "comtester" "comtester X11" "minimal Qt" "gtkterm"
four "exec to window shown" "${ms[wl_app]} ms" "${ms[wl_x11]} ms" "${ms[wl_floor]} ms" "${ms[wl_gtkterm]} ms"
four "CPU time, exec to settled" "${cpu[wl_app]} ms" "${cpu[wl_x11]} ms" "${cpu[wl_floor]} ms" "${cpu[wl_gtkterm]} ms"
four "peak resident memory" "$(mib "${kib[wl_app]}")" "$(mib "${kib[wl_x11]}")" "$(mib "${kib[wl_floor]}")" \
  "$(mib "${kib[wl_gtkterm]}")"
row "Wayland peak memory vs X11 (Xwayland)" "$(mib "${kib[wl_app]}")" "$(mib "${kib[wl_x11]}")" \
  "$(ratio "${kib[wl_app]}" "${kib[wl_x11]}")" "<= 1.10x" "$(mark "$(ratio "${kib[wl_app]}" "${kib[wl_x11]}" | tr -d x)" 1.1)"
echo

# --- paste to last byte at the peer, Linux and x86-64 under wine64 ------------
# A text pasted with Ctrl+V into the send box and sent, each run in a program
# started afresh on a desktop of bench/paste_bench.py's own. BENCH_PASTES=<n>
# runs per figure (default 3).
pastes=${BENCH_PASTES:-3}
paste_linux=$(python3 "$root/bench/paste_bench.py" "$pastes" linux "$app" 2>>"$work/programs.log")
exe=${windows}x86_64
paste_wine=
if [ -f "$exe/app/comtester.exe" ]; then
  paste_wine=$(python3 "$root/bench/paste_bench.py" "$pastes" windows x86_64 "$exe/app/comtester.exe" \
    "$exe/tests/winui/window_driver.exe" 2>>"$work/programs.log")
fi
paste_s() { sed -n "s/^$2_s=\([^ ]*\) .*/\1/p" <<<"$1"; }
seconds() { [ -n "$1" ] && echo "$1 s" || echo "not run"; }
prow() { printf '%-44s %14s %14s  %-16s %s\n' "$@"; }
prow "paste to last byte at peer ($pastes runs)" "Linux (Qt)" "wine64 x86-64" "aim" "mark"
for case in line_64k:"64 KiB in one line" line_256k:"256 KiB in one line" line_1m:"1 MiB in one line" \
  lines80_1m:"1 MiB in lines of 80"; do
  key=paste_${case%%:*}
  prow "  ${case#*:}" "$(seconds "$(paste_s "$paste_linux" "$key")")" "$(seconds "$(paste_s "$paste_wine" "$key")")" "" ""
done
linux_1m=$(paste_s "$paste_linux" paste_line_1m) wine_1m=$(paste_s "$paste_wine" paste_line_1m)
fine() { [ -n "$1" ] && [ "${1#>}" = "$1" ] && mark "$1" "$2" || echo MISS; }
prow "  1 MiB in one line, Linux" "$(seconds "$linux_1m")" "" "<= 2 s" "$(fine "$linux_1m" 2)"
prow "  1 MiB in one line, wine64" "" "$(seconds "$wine_1m")" "<= 5 s" "$(fine "$wine_1m" 5)"
for who in linux wine; do
  var=paste_$who
  quarter=$(paste_s "${!var}" paste_line_256k) whole=$(paste_s "${!var}" paste_line_1m)
  growth=MISS
  if [ -n "$quarter" ] && [ -n "$whole" ] && [ "${quarter#>}${whole#>}" = "$quarter$whole" ]; then
    growth=$(ratio "$whole" "$quarter")
  fi
  prow "  1 MiB vs 256 KiB in one line, $who" "$growth" "" "<= 5x" "$(fine "${growth%x}" 5)"
done
echo
