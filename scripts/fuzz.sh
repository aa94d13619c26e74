#!/usr/bin/env bash
# Builds the libFuzzer target and runs it for a bounded time (default 60 seconds) from the seed
# corpus in tests/fuzz/corpus, which it leaves as it is. Fails on any finding; the input that
# found it is kept as build/fuzz/crash-* (or timeout-*, for an input that runs over 5 s).
#
# Each time, it first shows that it can fail. A control input, rejected only when the control is
# asked for, must stop a run and be kept in build/fuzz/. Then faults planted in the stand-in
# (attribute changes that change nothing, searches never closed, moves that make case twins) must
# each be found by the seeds, by the check meant to find it. Both the control and the fuzzing run
# must have run every seed. The target's sandbox lies in a folder of this script's, removed on
# every exit.
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
# The target's runs are mostly file system calls: on a tmpfs where there is one.
base=${TMPDIR:-/tmp}
[ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && base=/dev/shm
work=$(mktemp -d "$base/kelvane-fuzz.XXXXXX")
child=
# The target goes first: left running, it would fail in the removed sandbox and keep a finding.
cleanup() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir "$work/sandbox"
fuzzer() {
  local status=0
  TMPDIR=$work/sandbox build/fuzz/patch_fuzzer -timeout=5 "$@" &
  child=$!
  wait "$child" || status=$?
  child=
  return "$status"
}
fail() {
  echo "fuzz: $*" >&2
  exit 1
}
started=$(date +%s)
elapsed() { echo $(($(date +%s) - started)); }

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
written() { sed -n 's/.*Test unit written to //p' "$1"; }
is_seed() {
  local seed
  for seed in "$seeds"/*; do
    cmp -s "$seed" "$1" && return 0
  done
  return 1
}
quiet() { grep -v '^kelvane-fuzz: input' "$1" | tail -"$2"; }

# The control: the seeds and the marker, run once each.
mkdir "$work/control" "$work/corpus"
cp "$seeds"/* "$work/control/"
# Longer than every seed, so that it runs last: the seeds before it must not stop the run.
printf 'kelvane fuzz control%0300d' 0 >"$work/control/zz-control"
count=$(find "$work/control" -type f | wc -l)
kept=${findings}crash-$(sha1sum "$work/control/zz-control" | cut -d' ' -f1)
rm -f "$kept" # a stale one would pass the comparison below without this run writing it
control_status=0
KELVANE_FUZZ_CONTROL=marker KELVANE_FUZZ_LOG_INPUTS=$((2 * count + 1)) fuzzer -runs=0 \
  -artifact_prefix="$findings" "$work/control" >"$work/control.log" 2>&1 || control_status=$?
found=$(written "$work/control.log")
if [ -n "$found" ] && [ "$found" != "$kept" ] && [ -f "$found" ]; then
  quiet "$work/control.log" 40
  fail "a seed made the finding above, after $(elapsed) s, before the control ran; the input" \
    "is $found"
fi
if [ "$control_status" -eq 0 ] || ! cmp -s "$kept" "$work/control/zz-control"; then
  quiet "$work/control.log" 20
  rm -f "$kept"
  fail "the control input did not fail the run, or was not kept in build/fuzz/"
fi
ran_all "$work/control.log" "$work/control" ||
  fail "the control run did not run every seed and the marker"
rm -f "$kept"
echo "fuzz: control kept its finding in build/fuzz/ after all $((count - 1)) seeds ran"

# The checks' own controls: each planted fault must stop a run on a seed, with the finding of the
# check meant for it, and that seed must be kept. Their findings go to a folder of their own.
planted() { # control, what the check says
  local log=$work/$1.log status=0 input
  mkdir "$work/$1"
  KELVANE_FUZZ_CONTROL=$1 fuzzer -runs=0 -artifact_prefix="$work/$1/" "$seeds" >"$log" 2>&1 ||
    status=$?
  input=$(written "$log")
  if [ "$status" -eq 0 ] || ! grep -q "^kelvane-fuzz: $2" "$log" || [ ! -f "$input" ] ||
    ! is_seed "$input"; then
    quiet "$log" 20
    fail "the planted fault '$1' was not found by its check ('$2') on a seed, or not kept"
  fi
  echo "fuzz: planted fault '$1' found on a seed:" \
    "$(awk -v found="^kelvane-fuzz: $2" '$0 ~ found { sub(/^kelvane-fuzz: /, ""); line = $0
      if ((getline next_line) > 0 && next_line ~ /^  /) line = line next_line; print line; exit }' \
      "$log")"
}
planted attributes "the tree after the run is not the model's"
planted search "[0-9]* search handles still open"
planted case "the run left names that differ only in letter case"

count=$(find "$seeds" -type f | wc -l)
status=0
started=$(date +%s)
KELVANE_FUZZ_LOG_INPUTS=$((2 * count + 1)) fuzzer -max_total_time="$seconds" \
  -print_final_stats=1 -artifact_prefix="$findings" "$work/corpus" "$seeds" >"$work/log" 2>&1 ||
  status=$?
if [ "$status" -ne 0 ]; then
  quiet "$work/log" 40
  found=$(written "$work/log")
  if [ -z "$found" ] || [ ! -f "$found" ]; then
    fail "finding above, and its input was not kept"
  fi
  fail "finding above, after $(elapsed) s of fuzzing; the input is $found"
fi
grep -E "INITED|^Done|number_of_executed_units|average_exec_per_sec|^kelvane-fuzz: [0-9]+ runs" \
  "$work/log" || true
ran_all "$work/log" "$seeds" || fail "libFuzzer did not run every seed in $seeds"
echo "fuzz: all $count seeds ran"
