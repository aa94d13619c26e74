#!/usr/bin/env bash
# Builds the libFuzzer target and runs it for a bounded time (default 60 seconds) from the seed
# corpus in tests/fuzz/corpus, which it leaves as it is. Fails on any finding; the input that
# found it is kept as build/fuzz/crash-*.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh cmake ninja-build clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
status=0
build/fuzz/patch_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$work/corpus" tests/fuzz/corpus >"$work/log" 2>&1 || status=$?
grep -E "^Done|number_of_executed_units|^==[0-9]+==|SUMMARY|^a file|^success" "$work/log" || true
if [ "$status" -ne 0 ]; then
  tail -40 "$work/log"
  echo "fuzz: finding above; the input is in build/fuzz/" >&2
fi
exit "$status"
