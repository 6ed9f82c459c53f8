#!/usr/bin/env bash
# Replays a recorded session of tests/traces against this build's
# chipferry, unpaced, with chipferry-sim playing the programmer:
#
#   tests/traces/replay.sh SIM CHIPFERRY NAME
#       NAME.trace, with NAME.in as standard input, must give standard
#       output NAME.out and exit code NAME.status; if NAME.saved is there,
#       the file the session saved as @WORK@/saved.bin must equal it.
#   tests/traces/replay.sh SIM CHIPFERRY NAME OTHER_INPUT
#       with other input the replay must diverge: exit code 124 and a
#       report on standard error, within a few seconds.
#
# In the inputs, @TRACES@ stands for this folder and @WORK@ for a scratch
# folder; neither name reaches the line, so the replay does not see them.
set -euo pipefail
sim=${1:?usage: replay.sh SIM CHIPFERRY NAME [OTHER_INPUT]}
chipferry=${2:?}
name=${3:?}
other_input=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A mark of an upload left by a run here stays here.
export XDG_CACHE_HOME=$work/cache

input=${other_input:-$here/$name.in}
sed -e "s|@TRACES@|$here|g" -e "s|@WORK@|$work|g" "$input" >"$work/input"
started=$(date +%s%N)
code=0
"$sim" --no-pace --replay "$here/$name.trace" --run "$chipferry" \
  <"$work/input" >"$work/out" 2>"$work/err" || code=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))

fail() {
  echo "replay of $name: $*"
  echo "--- standard error:"
  cat "$work/err"
  exit 1
}

if [ -n "$other_input" ]; then
  [ "$code" -eq 124 ] || fail "exit code $code where a divergence gives 124"
  grep -q "diverged" "$work/err" || fail "no report of where it diverged"
  grep -q "expected: " "$work/err" && grep -q "received: " "$work/err" ||
    fail "the report lacks the expected and the received bytes"
  [ "$elapsed_ms" -lt 5000 ] || fail "took $elapsed_ms ms to end"
  echo "replay of $name diverged as it must, in $elapsed_ms ms:"
  cat "$work/err"
  exit 0
fi

expected_code=$(cat "$here/$name.status")
[ "$code" -eq "$expected_code" ] || fail "exit code $code, recorded $expected_code"
if ! cmp -s "$work/out" "$here/$name.out"; then
  diff "$here/$name.out" "$work/out" || true
  fail "standard output differs from $name.out"
fi
if [ -f "$here/$name.saved" ]; then
  cmp "$work/saved.bin" "$here/$name.saved" || fail "the saved image differs from $name.saved"
fi
[ ! -s "$work/err" ] || fail "something on standard error"
echo "replay of $name: as recorded, exit code $code, in $elapsed_ms ms"
