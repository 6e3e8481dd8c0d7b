#!/usr/bin/env bash
# Usage: bash scripts/package.sh [BUILD-DIR [DIST-DIR]]
#
# Leaves in dist/: the Debian packages comtester_<version>_amd64.deb (this
# machine's architecture), _arm64.deb and _armhf.deb (for a Raspberry Pi),
# built from the source package in debian/ by dpkg-buildpackage, the ARM ones
# cross-built; comtester-<version>-windows-i686.zip and -x86_64.zip, each
# holding the executable, a README.txt for Windows users and the licence; and
# SHA256SUMS, their checksums. The same sources give the same bytes in any
# folder, at any time, under any umask, locale and time zone. lintian
# (pedantic; an error or a warning fails), desktop-file-validate and
# appstreamcli check the packages.
#
# With no argument it installs what is missing and builds the Windows
# programs in build-package/ first. Given BUILD-DIR, it zips the Windows
# programs built there and packages the ARM architectures that build makes
# (COMTESTER_ARM_BUILDS); the tests do.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-package}
dist=${2:-dist}
arm_arches=()
if [ $# -eq 0 ]; then
  bash scripts/install-dependencies.sh
  cmake --preset package
  cmake --build --preset package --target windows-i686 windows-x86_64
  arm_arches=(arm64 armhf)
else
  read -r -a arm_arches < <(sed -n 's/^\(COMTESTER_ARM_BUILDS:STRING=\)ON$/\1arm64;armhf/; s/^COMTESTER_ARM_BUILDS:STRING=//p' \
    "$build/CMakeCache.txt" | tr ';' ' ') || true  # none: no ARM builds
fi
build=$(realpath "$build")
mkdir -p "$dist"
dist=$(realpath "$dist")
version=$(dpkg-parsechangelog -l debian/changelog -SVersion)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# The Debian packages, from a clean copy of the tracked sources: this
# machine's architecture with the source package, then each ARM one,
# cross-built without its tests (which need its machine). dpkg-buildpackage
# takes the file times from debian/changelog's date, so that the package
# alone rebuilds to these bytes.
native=$(dpkg --print-architecture)
arches=("$native")
for arch in "${arm_arches[@]}"; do
  case $arch in OFF | FALSE | NO | 0 | "$native") continue ;; esac
  arches+=("$arch")
done
source=$work/comtester-$version
mkdir "$source"
git ls-files -z | tar -c --null -T - -f - | tar -x -C "$source" -f -
debs=()
for arch in "${arches[@]}"; do
  options=(-us -uc) cross=
  # shellcheck disable=SC2054  # -P takes its profiles as one list, with commas
  [ "$arch" = "$native" ] || options+=(-B -a "$arch" -Pcross,nocheck) cross=yes
  (cd "$source" && env -u SOURCE_DATE_EPOCH DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=2${cross:+ nocheck}" \
    dpkg-buildpackage "${options[@]}" >"$work/build-$arch.log" 2>&1) ||
    { tail -n 40 "$work/build-$arch.log" >&2; echo "package.sh: dpkg-buildpackage failed for $arch" >&2; exit 1; }
  deb=comtester_${version}_$arch.deb
  cp "$work/$deb" "$dist/$deb"
  debs+=("$deb")
  status=0
  findings=$(lintian --pedantic --fail-on error,warning --tag-display-limit 0 \
    "$work/comtester_${version}_$arch.changes" 2>&1) || status=$?
  grep -v 'running with root privileges' <<<"$findings" | grep . || true
  [ $status -eq 0 ] || { echo "package.sh: lintian finds errors or warnings in the $arch build" >&2; exit 1; }
done

# A zip for each Windows build: the executable, README.txt and LICENSE.txt,
# with Windows line ends and a byte-order mark that Notepad understands. The
# entries' times are the last commit's, in UTC, their modes fixed, their
# order set, and no extra fields (owner, local time stamps).
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
windows_text() {  # windows_text SOURCE TARGET ARCH
  python3 - "$@" "$version" <<'EOF'
import sys
source, target, arch, version = sys.argv[1:]
text = open(source, encoding="utf-8").read()
text = text.replace("@PROJECT_VERSION@", version).replace("@ARCH@", arch)
open(target, "w", encoding="utf-8-sig", newline="\r\n").write(text)
EOF
}
zips=()
for arch in i686 x86_64; do
  exe=$build/windows-$arch/app/comtester.exe
  [ -f "$exe" ] || { echo "package.sh: no $exe: build the Windows targets first" >&2; exit 1; }
  stage=$work/windows-$arch
  mkdir -p "$stage"
  cp "$exe" "$stage/comtester.exe"
  windows_text packaging/windows/README.txt "$stage/README.txt" "$arch"
  windows_text LICENSE "$stage/LICENSE.txt" "$arch"
  chmod 0755 "$stage/comtester.exe"
  chmod 0644 "$stage/README.txt" "$stage/LICENSE.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
  zip=comtester-$version-windows-$arch.zip
  rm -f "$dist/$zip"
  (cd "$stage" && TZ=UTC zip -q -X "$dist/$zip" comtester.exe README.txt LICENSE.txt)
  zips+=("$zip")
done

(cd "$dist" && printf '%s\n' "${debs[@]}" "${zips[@]}" | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)

# What users' tools will say of the menu entry and the AppStream metadata.
dpkg-deb -x "$dist/${debs[0]}" "$work/tree"
desktop-file-validate "$work"/tree/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/tree/usr/share/metainfo/*.metainfo.xml

echo "In $dist:"
(cd "$dist" && ls -l "${debs[@]}" "${zips[@]}" SHA256SUMS)
