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
# runs it under WOW64; elsewhere its two Wine legs report themselves skipped. Only running one
# tells: a kernel can be built with IA-32 emulation and still have it turned off. The probe is a
# static i386 program that exits with 42, made with binutils, installed first for it.
runs_32bit() {
  local dir status=0
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/p.s"
  as --32 -o "$dir/p.o" "$dir/p.s" && ld -m elf_i386 -o "$dir/p" "$dir/p.o" && "$dir/p" ||
    status=$?
  rm -rf "$dir"
  [ "$status" -eq 42 ]
}
scripts/install-deps.sh binutils
if runs_32bit; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  wow64=yes
else
  echo "This kernel runs no 32-bit programs: the release's Wine legs will be skipped."
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
