#!/usr/bin/env bash
# Smoke check of the Windows build under Wine: COM1 mapped, through Wine's
# registry only, to a pseudo-terminal with a minimal programmer behind it.
#
#   tests/wine/smoke.sh [path/to/chipferry.exe]
#
# 1. The banner, the menu after the wake-up, the closing bytes, and exit
#    code 0 on "q".
# 2. COM1 mapped to a path with nothing behind it. Wine still opens the
#    port (its own serial device stands in) and fails only at the first
#    GetCommState: "Can't get Port COM1 state" and exit code 3. Either that
#    or "Port COM1 doesn't exist" and 1 is accepted; which one is printed.
# 3. A port name Wine has not mapped at all (CHIPFERRY_COM1=COM99): Wine
#    reports error 2, so "Port COM1 doesn't exist" and exit code 1.
#
# The machine's own serial ports are never opened (see prefix.sh).
set -euo pipefail

# shellcheck source=tests/wine/prefix.sh
source "$(dirname "$0")/prefix.sh"
wine_isolate "$@"

here=$wine_here
root=$wine_root
exe=${1:-$root/build/windows/chipferry.exe}
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

wine_need wine wineserver python3
[ -f "$exe" ] || { echo "smoke: $exe is missing; build it with make windows"; exit 1; }

work=$root/build/windows/wine-smoke
com1=$work/com1
wire=$work/wire.log

helper_pid=
stop_helper() {
  if [ -n "$helper_pid" ]; then kill "$helper_pid" 2>/dev/null || true; wait "$helper_pid" 2>/dev/null || true; fi
}
wine_cleanup_hooks+=(stop_helper)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

start_helper() {
  : >"$wire"
  python3 "$here/pty_programmer.py" "$com1" "$wire" 300 >"$work/helper.out" &
  helper_pid=$!
  for _ in $(seq 100); do
    grep -q ready "$work/helper.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "smoke: the pseudo-terminal helper did not start"; exit 1
}

# Runs the program with "q" on standard input; sets out and rc.
run_exe() {
  local t0; t0=$(ms)
  set +e
  printf 'q\n' | timeout 120 env "$@" wine "$exe" >"$work/out.raw" 2>"$work/err"
  rc=$?
  set -e
  run_ms=$(( $(ms) - t0 ))
  out=$(tr -d '\r' <"$work/out.raw")
}

rm -rf "$work"
mkdir -p "$work"
start_helper
wine_prefix "$work" "$com1"

# 1. A programmer that answers the wake-up.
run_exe
echo "smoke: run with a programmer: exit $rc in $run_ms ms"
[ "$rc" = 0 ] || fail "exit code $rc, expected 0"
if grep -q $'\r' "$work/out.raw"; then fail "carriage returns in the output to a pipe"; fi
grep -qx 'Chipferry V0.4' <<<"$out" || fail "no banner"
{ grep -qx 'Select option:' <<<"$out" && grep -qx '(Q)uit' <<<"$out"; } || fail "no menu"
if grep -q "Port COM1" <<<"$out"; then fail "port message: $(grep 'Port COM1' <<<"$out")"; fi
sent=$(od -An -tx1 <"$wire" | tr -s ' \n' ' ')
# ESC DC1 "S900000 01\r" ... ESC "SC\r"
grep -q '^ 1b 11 53 39 30 30 30 30 30 20 30 31 0d 1b 53 43 0d $' <<<"$sent" ||
  fail "bytes on the line: $sent"
[ "$failures" = 0 ] || { echo "--- output:"; cat "$work/out.raw"; cat "$work/err"; }

# 2. The path COM1 is mapped to leads nowhere.
rm -f "$com1"
run_exe
echo "smoke: run with nothing behind COM1: exit $rc in $run_ms ms: $(grep -m1 Port <<<"$out" || echo '(no port message)')"
if grep -qx "Port COM1 doesn't exist" <<<"$out"; then
  [ "$rc" = 1 ] || fail "dangling COM1: exit code $rc, expected 1"
elif grep -qx "Can't get Port COM1 state" <<<"$out"; then
  [ "$rc" = 3 ] || fail "dangling COM1: exit code $rc, expected 3"
else
  fail "dangling COM1: $(tail -n 1 <<<"$out"), exit code $rc"
fi

# 3. A port Wine does not know.
if [ -e "$WINEPREFIX/dosdevices/com99" ] || [ -L "$WINEPREFIX/dosdevices/com99" ]; then
  fail "COM99 is mapped; cannot check a missing port"
else
  run_exe CHIPFERRY_COM1=COM99
  echo "smoke: run with an unknown port: exit $rc in $run_ms ms: $(grep -m1 Port <<<"$out" || echo '(no port message)')"
  grep -qx "Port COM1 doesn't exist" <<<"$out" || fail "unknown port: $(tail -n 1 <<<"$out")"
  [ "$rc" = 1 ] || fail "unknown port: exit code $rc, expected 1"
fi

if [ "$failures" = 0 ]; then echo "smoke: 3 passed, 0 failed"; else echo "smoke: $failures failed"; exit 1; fi
