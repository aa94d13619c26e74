#!/usr/bin/env bash
# Builds the libFuzzer target and runs it for a bounded time (default 60 seconds) from the seed
# corpus in tests/fuzz/corpus, which it leaves as it is. Fails on any finding; the input that
# found it is kept as build/fuzz/crash-*.
#
# Each time, it first shows that it can fail: a control input, rejected only when the control is
# asked for, must stop a run and be kept in build/fuzz/. Both runs must have run every seed.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
scripts/install-deps.sh cmake ninja-build clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
findings=$root/build/fuzz/
seeds=$root/tests/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "fuzz: $*" >&2
  exit 1
}

# Whether every file of the folders is among the inputs the target reported. libFuzzer runs one
# empty input, then every seed (some twice, when a run leaves memory allocated), before it
# mutates any.
ran_all() { # log, folder...
  local log=$1 file
  shift
  [ -z "$(comm -13 <(sed -n 's/^kelvane-fuzz: input \([0-9a-f]\+\)$/\1/p' "$log" | sort -u) \
    <(find "$@" -type f -size +0 | while read -r file; do
      od -An -tx1 -v "$file" | tr -d ' \n'
      echo
    done | sort -u))" ]
}

# The control: the seeds and the marker, run once each.
mkdir "$work/control" "$work/corpus"
cp "$seeds"/* "$work/control/"
# Longer than every seed, so that it runs last: the seeds before it must not stop the run.
printf 'kelvane fuzz control%0300d' 0 >"$work/control/zz-control"
count=$(find "$work/control" -type f | wc -l)
control_status=0
KELVANE_FUZZ_CONTROL=1 KELVANE_FUZZ_LOG_INPUTS=$((2 * count + 1)) build/fuzz/patch_fuzzer -runs=0 \
  -artifact_prefix="$findings" "$work/control" >"$work/control.log" 2>&1 || control_status=$?
kept=${findings}crash-$(sha1sum "$work/control/zz-control" | cut -d' ' -f1)
written=$(sed -n 's/.*Test unit written to //p' "$work/control.log")
if [ -n "$written" ] && [ "$written" != "$kept" ] && [ -f "$written" ]; then
  grep -v '^kelvane-fuzz: input' "$work/control.log" | tail -40
  fail "a seed made the finding above before the control ran; the input is $written"
fi
if [ "$control_status" -eq 0 ] || ! cmp -s "$kept" "$work/control/zz-control"; then
  grep -v '^kelvane-fuzz: input' "$work/control.log" | tail -20
  fail "the control input did not fail the run, or was not kept in build/fuzz/"
fi
ran_all "$work/control.log" "$work/control" ||
  fail "the control run did not run every seed and the marker"
rm -f "$kept"
echo "fuzz: control kept its finding in build/fuzz/ after all $((count - 1)) seeds ran"

count=$(find "$seeds" -type f | wc -l)
status=0
started=$(date +%s)
KELVANE_FUZZ_LOG_INPUTS=$((2 * count + 1)) build/fuzz/patch_fuzzer -max_total_time="$seconds" \
  -print_final_stats=1 -artifact_prefix="$findings" "$work/corpus" "$seeds" >"$work/log" 2>&1 ||
  status=$?
took=$(($(date +%s) - started))
if [ "$status" -ne 0 ]; then
  grep -v '^kelvane-fuzz: input' "$work/log" | tail -40
  written=$(sed -n 's/.*Test unit written to //p' "$work/log")
  if [ -z "$written" ] || [ ! -f "$written" ]; then
    fail "finding above, and its input was not kept"
  fi
  fail "finding above, after ${took} s; the input is $written"
fi
grep -E "INITED|^Done|number_of_executed_units|average_exec_per_sec" "$work/log" || true
ran_all "$work/log" "$seeds" || fail "libFuzzer did not run every seed in $seeds"
echo "fuzz: all $count seeds ran"
