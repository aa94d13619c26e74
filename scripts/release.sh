#!/usr/bin/env bash
# Builds the release from scratch and packages it for players:
#   dist/kelvane-patch-<version>-win32.zip   kelvane-patch.exe and README.txt
#   dist/kelvane-patch*.exe                   the executable(s), copied beside the zip
#   dist/SHA256SUMS                           the zip's and the executables' SHA-256
# The zip is byte-reproducible: its time is SOURCE_DATE_EPOCH, by default the last commit's.
#
# Signing: with KELVANE_SIGN_PKCS12 (a .p12/.pfx file) and KELVANE_SIGN_PASSWORD set, the
# executable is signed with SHA-256 before packaging, and timestamped by the RFC 3161 server at
# KELVANE_SIGN_TIMESTAMP_URL if that is set. SHA256SUMS then lists the signed executable and the
# unsigned build, which is what removing the signature gives back.
#
# Usage: scripts/release.sh [--build-dir DIR] [--dist DIR]   (defaults: a temporary one, dist)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build= dist=$source_dir/dist
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=$2; shift 2 ;;
    --dist) dist=$2; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--dist DIR]" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=${build:-$work/build}
if [ -e "$build/CMakeCache.txt" ]; then
  echo "$build holds a build already; a release is built from scratch" >&2
  exit 2
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null) || {
    echo "not a git checkout: set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 2
  }
fi
export SOURCE_DATE_EPOCH

# The release preset's own settings, in a directory of this run's.
(cd "$source_dir" && cmake --preset windows-x86 -B "$build" -DBUILD_TESTING=OFF >/dev/null)
cmake --build "$build" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
unsigned=$build/kelvane-patch.exe
shipped=$unsigned
signed=()

if [ -n "${KELVANE_SIGN_PKCS12:-}" ]; then
  if [ -z "${KELVANE_SIGN_PASSWORD+set}" ]; then
    echo "KELVANE_SIGN_PKCS12 is set but KELVANE_SIGN_PASSWORD is not" >&2
    exit 2
  fi
  timestamp=()
  [ -z "${KELVANE_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$KELVANE_SIGN_TIMESTAMP_URL")
  shipped=$work/kelvane-patch.exe
  # The password goes through a file descriptor, not the command line that ps shows.
  osslsigncode sign -pkcs12 "$KELVANE_SIGN_PKCS12" -readpass <(printf '%s' "$KELVANE_SIGN_PASSWORD") \
    -h sha256 -n "Kelvane patch" "${timestamp[@]}" -in "$unsigned" -out "$shipped" >/dev/null
  signed=(--unsigned "$unsigned")
fi

rm -f "$dist"/kelvane-patch*.zip "$dist"/kelvane-patch*.exe "$dist/SHA256SUMS"
python3 "$source_dir/scripts/package.py" zip --version "$version" --exe "$shipped" "${signed[@]}" \
  "$source_dir/README.md" "$dist"
echo "release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
