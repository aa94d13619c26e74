#!/usr/bin/env bash
# The whole test suite: both Windows builds with their checks of imports, resources and
# reproducibility; the Linux build, whose scenarios run on the Linux program and, under wine64 on
# a virtual X display, on the Windows one; the sanitizer build; a minute of fuzzing; then the
# static checks. Installs whatever it needs that is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev python3 strace \
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 xvfb xdotool
for preset in windows-x86 windows-x64 host host-asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "== fuzz"
scripts/fuzz.sh 60
echo "== lint"
scripts/lint.sh
