#!/bin/sh
# Checks that a Windows executable is 32-bit x86 (PE32 for i386) and imports
# nothing but the system's own DLLs: no MinGW runtime may have to ship with it;
# with MAX_BYTES, also that it is no larger.
# Usage: check_win32_exe.sh EXE [MAX_BYTES]   (OBJDUMP overrides i686-w64-mingw32-objdump)
set -eu
exe=${1:?usage: check_win32_exe.sh EXE [MAX_BYTES]}
max_bytes=${2-}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

command -v "$objdump" >/dev/null || { echo "FAIL: $objdump not found" >&2; exit 1; }
[ -f "$exe" ] || { echo "FAIL: no such file: $exe" >&2; exit 1; }
headers=$("$objdump" -p "$exe") || { echo "FAIL: $objdump cannot read $exe" >&2; exit 1; }

status=0
echo "$headers" | grep -q 'file format pei-i386' ||
  { echo "FAIL: $exe is not a PE file for i386" >&2; status=1; }
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' ||
  { echo "FAIL: $exe is not PE32 (optional header magic 010b)" >&2; status=1; }

dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
[ -n "$dlls" ] || { echo "FAIL: $exe imports no DLL at all; unreadable import table?" >&2; exit 1; }
for dll in $dlls; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | msvcrt.dll | advapi32.dll | \
      shell32.dll | uxtheme.dll | api-ms-win-*.dll)
      echo "ok: $dll" ;;
    *)
      echo "FAIL: $exe imports $dll, which Windows does not provide" >&2
      status=1 ;;
  esac
done
if [ -n "$max_bytes" ]; then
  size=$(wc -c <"$exe")
  if [ "$size" -gt "$max_bytes" ]; then
    echo "FAIL: $exe is $size bytes, more than $max_bytes" >&2
    status=1
  else
    echo "ok: $size bytes, at most $max_bytes"
  fi
fi
exit $status
