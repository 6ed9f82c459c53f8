#!/usr/bin/env bash
# make lint: clang-format changes nothing, and clang-tidy (.clang-tidy)
# finds nothing in the program, the simulator and the fuzz target. The
# Windows backends need the cross build's headers and are left to the
# compiler's warnings; the tests are checked for their format only.
#
#   .ci/lint.sh BUILD_DIR JOBS
set -euo pipefail
build=${1:?usage: .ci/lint.sh BUILD_DIR JOBS}
jobs=${2:-2}
cd "$(dirname "$0")/.."

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCHIPFERRY_TESTS=OFF \
  -DCHIPFERRY_FUZZ=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

# clang-tidy counts the warnings it suppressed in system headers on
# standard error; only its findings are worth a line.
findings=$(git ls-files '*.cc' | grep -v -e '^tests/' -e '-win32\.cc$' |
  xargs -P "$jobs" -n 2 clang-tidy -p "$build" --quiet 2>&1 |
  grep -v -E '^[0-9]+ warnings? generated\.$' || true)
if [ -n "$findings" ]; then
  echo "$findings"
  echo "lint: clang-tidy has findings"
  exit 1
fi
echo "lint: clean"
