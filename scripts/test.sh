#!/usr/bin/env bash
# The whole test suite: the plain build and the sanitizer build with every test of each, then the
# static checks. Installs whatever it needs that is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev python3
for preset in host host-asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "== lint"
scripts/lint.sh
