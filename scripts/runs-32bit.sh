#!/usr/bin/env bash
# Exits 0 where this kernel runs 32-bit x86 programs, 1 where it does not, 2 where the probe cannot
# be made. Only running one tells: a kernel can be built with IA-32 emulation and still have it
# turned off. The probe is a static i386 program that exits with 42, made with binutils' as and ld
# in a folder of its own, removed on every exit.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/p.s"
as --32 -o "$dir/p.o" "$dir/p.s" 2>/dev/null && ld -m elf_i386 -o "$dir/p" "$dir/p.o" 2>/dev/null ||
  exit 2
"$dir/p" 2>/dev/null
[ $? -eq 42 ] || exit 1
