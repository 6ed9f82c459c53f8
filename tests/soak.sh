#!/usr/bin/env bash
# The end-to-end tests, run again and again, six at a time, while both
# cores are kept busy: a race that a quiet machine hides shows up here. A program to run
# (make soak), not a test of make test.
#
#   tests/soak.sh BUILD_DIR [RUNS]
#
# Ends with one line, "N passed, M failed", and a non-zero exit status when
# any run failed.
set -uo pipefail

build=${1:?usage: tests/soak.sh BUILD_DIR [RUNS]}
runs=${2:-20}
jobs=$(nproc 2>/dev/null || echo 2)
# More tests at once than there are cores, on cores that are busy anyway:
# every test then waits for the processor now and then, as on a loaded
# machine, and a test that waits for time instead of evidence fails.
tests_at_once=${SOAK_TESTS_AT_ONCE:-6}

if ! command -v stress-ng >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "soak: installing stress-ng"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends stress-ng >/dev/null 2>&1 ||
    { apt-get update >/dev/null 2>&1 &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends stress-ng >/dev/null 2>&1; }
fi

load=()
cleanup() { [ ${#load[@]} -gt 0 ] && kill "${load[@]}" 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT
if command -v stress-ng >/dev/null; then
  stress-ng --cpu "$jobs" --quiet &
  load+=($!)
  echo "soak: stress-ng --cpu $jobs keeps the cores busy"
else
  for _ in $(seq "$jobs"); do
    ( while :; do :; done ) &
    load+=($!)
  done
  echo "soak: $jobs busy loops keep the cores busy (stress-ng is not installed)"
fi

passed=0
failed=0
for run in $(seq "$runs"); do
  log=$build/soak-$run.log
  if (cd "$build" && ctest -L e2e -j "$tests_at_once" --output-on-failure) >"$log" 2>&1; then
    passed=$((passed + 1))
    rm -f "$log"
    echo "soak: run $run of $runs passed"
  else
    failed=$((failed + 1))
    echo "soak: run $run of $runs FAILED; see $log:"
    grep -E '\(Failed\)|\(Timeout\)|\*\*\*' "$log" | sed 's/^/    /'
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
