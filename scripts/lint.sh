#!/usr/bin/env bash
# Static checks: clang-tidy and cppcheck quiet, every source formatted. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-tidy clang-format cppcheck cmake ninja-build g++ libgtest-dev \
  clang libclang-rt-14-dev
cmake --preset host >/dev/null  # for compile_commands.json
cmake --preset fuzz >/dev/null  # the fuzz target builds only there

sources=$(find src tests -name '*.cpp' -o -name '*.h' | sort)
clang-format --dry-run --Werror $sources

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! run-clang-tidy -p build/host -quiet 'src/|tests/.*\.cpp' >"$log" 2>&1 ||
  ! clang-tidy -p build/fuzz --quiet tests/fuzz/patch_fuzzer.cpp >>"$log" 2>&1; then
  grep -E 'warning:|error:' -A3 "$log" || cat "$log"
  echo "clang-tidy: findings above" >&2
  exit 1
fi

cppcheck --enable=warning,style,performance,portability --std=c++17 --library=googletest \
  --library=posix --inline-suppr --error-exitcode=1 --quiet -I src src tests
echo "lint: clang-format, clang-tidy and cppcheck found nothing"
