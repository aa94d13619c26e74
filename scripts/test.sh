#!/usr/bin/env bash
# The whole test suite: the "all" workflow (both Windows executables with their checks of imports,
# resources and reproducibility; the Linux build with its unit and safety tests; every scenario on
# the Linux program and, under Wine on a virtual X display, on the 64-bit program and on the
# 32-bit release); then the sanitizer build, a minute of fuzzing and the static checks. Installs
# whatever it needs that is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++ libgtest-dev python3
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 xvfb xdotool osslsigncode openssl)
# The release is a 32-bit program. Where the kernel runs 32-bit programs, Wine's 32-bit loader
# runs it under WOW64; elsewhere its two Wine legs report themselves skipped. The probe, which runs
# one, needs binutils, installed first for it.
scripts/install-deps.sh binutils
probe=0
scripts/runs-32bit.sh || probe=$?
if [ "$probe" -eq 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  wow64=yes
else
  case $probe in
    1) echo "This kernel runs no 32-bit programs: the release's Wine legs will be skipped." ;;
    *) echo "The 32-bit probe could not be built: the release's Wine legs will be skipped." ;;
  esac
fi
scripts/install-deps.sh "${packages[@]}"
if [ -n "${wow64:-}" ] && ! scripts/install-deps.sh wine32:i386; then
  echo "wine32:i386 could not be installed: the release's Wine legs will report themselves skipped."
fi
for workflow in all host-asan; do
  echo "== $workflow"
  cmake --workflow --preset "$workflow"
done
echo "== fuzz"
scripts/fuzz.sh 60
echo "== lint"
scripts/lint.sh
