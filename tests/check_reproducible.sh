#!/usr/bin/env bash
# Builds the Windows executable twice from scratch, in two build directories with different paths,
# and fails unless both builds and the executable under test are byte for byte the same.
# Usage: tests/check_reproducible.sh TOOLCHAIN_FILE EXE_UNDER_TEST
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$1
under_test=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for build in first second-build-elsewhere; do
  cmake -S "$source_dir" -B "$work/$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/$build" >/dev/null
done
sha256sum "$work/first/kelvane-patch.exe" "$work/second-build-elsewhere/kelvane-patch.exe" \
  "$under_test"
cmp "$work/first/kelvane-patch.exe" "$work/second-build-elsewhere/kelvane-patch.exe"
cmp "$work/first/kelvane-patch.exe" "$under_test"
echo "reproducible: two clean builds and the executable under test are identical"
