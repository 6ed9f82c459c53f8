#!/usr/bin/env bash
# The end-to-end tests with the Windows build under Wine in place of the
# Linux chipferry: each test's chipferry-sim pseudo-terminal is reached
# through COM1, which Wine maps, through its registry only, to a link the
# test harness re-points for every run.
#
#   tests/wine/run_e2e.sh [path/to/chipferry.exe [path/to/chipferry_e2e]]
#
# CHIPFERRY_WINE_FILTER picks the tests (a --gtest_filter; default
# Session.*). The machine's own serial ports are never opened (see
# prefix.sh).
set -euo pipefail

# shellcheck source=tests/wine/prefix.sh
source "$(dirname "$0")/prefix.sh"
wine_isolate "$@"

root=$wine_root
exe=${1:-$root/build/windows/chipferry.exe}
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
tests=${2:-$root/build/test/chipferry_e2e}
filter=${CHIPFERRY_WINE_FILTER:-Session.*}

wine_need wine wineserver
[ -f "$exe" ] || { echo "run_e2e: $exe is missing; build it with make windows"; exit 1; }
[ -x "$tests" ] || { echo "run_e2e: $tests is missing; build it with make test"; exit 1; }
# The harness splits the command line at spaces.
case "$wine_here$exe" in
  *[[:space:]]*) echo "run_e2e: paths with spaces cannot be passed to the tests: $wine_here, $exe"; exit 1 ;;
esac

# A filter that matches nothing must not pass for a run.
if ! "$tests" --gtest_list_tests --gtest_filter="$filter" | grep -q '^  '; then
  echo "run_e2e: no test matches $filter"
  exit 1
fi

work=$(dirname "$exe")/wine-e2e
link=$work/com1
rm -rf "$work"
mkdir -p "$work"
# Dangling until a test points it at its simulator.
ln -s "$work/no-port-yet" "$link"
wine_prefix "$work" "$link"

# Wine runs the program slower, the more so on a busy machine; the
# harness's time limits are for the Linux build.
export CHIPFERRY_E2E_TIME_SCALE=${CHIPFERRY_E2E_TIME_SCALE:-3}
export CHIPFERRY_E2E_PROGRAM="$wine_here/at_terminal.sh $exe"
export CHIPFERRY_E2E_PORT_LINK=$link
t0=$(ms)
set +e
"$tests" --gtest_filter="$filter" </dev/null
rc=$?
set -e
echo "run_e2e: tests under Wine ran in $(( $(ms) - t0 )) ms, exit $rc"
exit "$rc"
