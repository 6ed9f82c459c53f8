#!/usr/bin/env bash
# CHIPFERRY_TRACE with this build's chipferry against chipferry-sim: a
# trace file that cannot be created ends the run with exit code 9 and one
# line on standard error before the port is opened, and a session recorded
# now replays to the same output.
#
#   tests/traces/recording.sh SIM CHIPFERRY
set -euo pipefail
sim=${1:?usage: recording.sh SIM CHIPFERRY}
chipferry=${2:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A mark of an upload left by a run here stays here.
export XDG_CACHE_HOME=$work/cache

fail() {
  echo "recording: $*"
  exit 1
}

code=0
CHIPFERRY_TRACE=$work/no-such-folder/t.trace "$sim" --no-pace --log "$work/sim.log" \
  --run "$chipferry" </dev/null >"$work/out" 2>"$work/err" || code=$?
[ "$code" -eq 9 ] || fail "exit code $code for a trace file that cannot be created"
[ ! -s "$work/out" ] || fail "standard output: $(cat "$work/out")"
expected="chipferry: cannot create the trace file $work/no-such-folder/t.trace: No such file or directory"
[ "$(cat "$work/err")" = "$expected" ] || fail "standard error: $(cat "$work/err")"
if grep -q "port opened" "$work/sim.log"; then fail "the port was opened"; fi

printf '4\n2716\n9\nq\n' >"$work/input"
code=0
CHIPFERRY_TRACE=$work/t.trace "$sim" --no-pace --duration-ms 0 --run "$chipferry" \
  <"$work/input" >"$work/recorded" 2>&1 || code=$?
[ "$code" -eq 0 ] || fail "the recorded session ended with $code"
code=0
"$sim" --no-pace --replay "$work/t.trace" --run "$chipferry" \
  <"$work/input" >"$work/replayed" 2>"$work/err" || code=$?
[ "$code" -eq 0 ] || fail "the replay ended with $code: $(cat "$work/err")"
cmp -s "$work/recorded" "$work/replayed" || fail "the replay printed something else"
echo "recording: an uncreatable trace file ends the run with 9; a new recording replays as it ran"
