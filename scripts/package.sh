#!/usr/bin/env bash
# Usage: bash scripts/package.sh [BUILD-DIR [DIST-DIR]]
#
# Installs what is missing, builds every target in Release and leaves in
# dist/: the Debian packages comtester_<version>_amd64.deb (this machine's
# architecture), _arm64.deb and _armhf.deb (the ARM builds, for a Raspberry
# Pi), and comtester-<version>-windows-i686.zip and -x86_64.zip, each holding
# the executable, a README.txt for Windows users and the licence. The
# packages are checked with lintian, desktop-file-validate and appstreamcli.
# Given BUILD-DIR, it packages the builds already there instead (the tests do).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${1:-build-package}
dist=${2:-dist}
if [ $# -eq 0 ]; then
  bash scripts/install-dependencies.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  cmake --build "$build"
fi
build=$(realpath "$build")
mkdir -p "$dist"
dist=$(realpath "$dist")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The same bytes for the same sources: file times from the last commit.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

# The Debian packages, from the install rules: this machine's build, and the
# ARM builds it made beside it, each named and made for its own architecture.
arches=($(dpkg --print-architecture))
for arch in $(sed -n 's/^\(COMTESTER_ARM_BUILDS:STRING=\)ON$/\1arm64;armhf/; s/^COMTESTER_ARM_BUILDS:STRING=//p' "$build/CMakeCache.txt" | tr ';' ' '); do
  case $arch in OFF | FALSE | NO | 0 | "${arches[0]}") continue ;; esac
  [ -x "$build/linux-$arch/app/comtester" ] ||
    { echo "package.sh: no $build/linux-$arch/app/comtester: build the $arch target first" >&2; exit 1; }
  arches+=("$arch")
done
debs=()
for arch in "${arches[@]}"; do
  dir=$build
  [ "$arch" = "${arches[0]}" ] || dir=$build/linux-$arch
  (cd "$dir" && cpack -G DEB -B "$work/cpack-$arch" >/dev/null)
  deb=comtester_${version}_$arch.deb
  mv "$work/cpack-$arch/$deb" "$dist/$deb"
  debs+=("$deb")
done

# A zip for each Windows build: the executable, README.txt and LICENSE.txt,
# with Windows line ends and a byte-order mark that Notepad understands.
windows_text() {  # windows_text SOURCE TARGET ARCH
  python3 - "$@" "$version" <<'EOF'
import sys
source, target, arch, version = sys.argv[1:]
text = open(source, encoding="utf-8").read()
text = text.replace("@PROJECT_VERSION@", version).replace("@ARCH@", arch)
open(target, "w", encoding="utf-8-sig", newline="\r\n").write(text)
EOF
}
for arch in i686 x86_64; do
  exe=$build/windows-$arch/app/comtester.exe
  [ -f "$exe" ] || { echo "package.sh: no $exe: build the Windows targets first" >&2; exit 1; }
  stage=$work/windows-$arch
  mkdir -p "$stage"
  cp "$exe" "$stage/comtester.exe"
  windows_text packaging/windows/README.txt "$stage/README.txt" "$arch"
  windows_text LICENSE "$stage/LICENSE.txt" "$arch"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
  zip="$dist/comtester-$version-windows-$arch.zip"
  rm -f "$zip"
  (cd "$stage" && zip -q -X "$zip" comtester.exe README.txt LICENSE.txt)
done

# What users' tools will say of the packages.
for deb in "${debs[@]}"; do
  status=0
  findings=$(lintian --fail-on error --tag-display-limit 0 "$dist/$deb" 2>&1) || status=$?
  echo "$findings" | grep -v 'running with root privileges' || true
  [ $status -eq 0 ] || { echo "package.sh: lintian finds errors in $deb" >&2; exit 1; }
done
dpkg-deb -x "$dist/${debs[0]}" "$work/tree"
desktop-file-validate "$work"/tree/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/tree/usr/share/metainfo/*.metainfo.xml

echo "In $dist:"
(cd "$dist" && ls -l "${debs[@]}" comtester-"$version"-windows-*.zip)
