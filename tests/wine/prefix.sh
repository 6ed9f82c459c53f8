# shellcheck shell=bash disable=SC2034
# The Wine set-up the checks under tests/wine share; sourced, not run.
#
#   wine_isolate "$@"         first thing in a script: see below
#   wine_prefix DIR COM1PATH  a fresh prefix in DIR/prefix, COM1 mapped to
#                             COM1PATH, and a wineserver kept running until
#                             the script ends
#
# The machine's own serial ports are never opened. Wine's mount manager
# probes every /dev/ttyS* when its first process starts, and maps
# /dev/ttyS0 to the first free COM port by itself. So as root the script
# runs again in a private mount namespace in which every /dev/ttyS* is
# /dev/null; without that, it runs only if it cannot open any of them
# anyway. COM1 is used only after Wine is seen to have mapped it to our
# path.

wine_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_root=$(cd "$wine_here/../.." && pwd)

# True when the device is /dev/null in disguise.
wine_is_masked() {
  [ "$(stat -Lc %t:%T "$1")" = "$(stat -Lc %t:%T /dev/null)" ]
}

# Re-runs the calling script, with its arguments, where /dev/ttyS* are
# masked; refuses to go on when a serial device stays within reach.
wine_isolate() {
  local dev
  if [ -z "${CHIPFERRY_WINE_MASKED:-}" ] && [ "$(id -u)" = 0 ] &&
     unshare -m --propagation private true 2>/dev/null; then
    exec env CHIPFERRY_WINE_MASKED=1 unshare -m --propagation private bash "$0" "$@"
  fi
  if [ -n "${CHIPFERRY_WINE_MASKED:-}" ]; then
    for dev in /dev/ttyS*; do
      [ -e "$dev" ] && mount --bind /dev/null "$dev"
    done
  fi
  for dev in /dev/ttyS*; do
    [ -e "$dev" ] || continue
    wine_is_masked "$dev" && continue
    if [ -r "$dev" ] || [ -w "$dev" ]; then
      echo "$(basename "$0"): $dev is within reach and cannot be masked (needs root and unshare); not running Wine"
      exit 1
    fi
  done
  trap wine_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

wine_need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || {
      echo "$(basename "$0"): $tool is missing (apt-get install wine wine64 python3)"
      exit 1
    }
  done
}

ms() { date +%s%3N; }

# Hooks the calling script adds to the clean-up at exit.
wine_cleanup_hooks=()
wine_prefix_made=
wine_cleanup() {
  # The server first: were it to hold a pseudo-terminal of a test as its
  # controlling terminal, a hang-up would make it dump its object table.
  # Only our own prefix's server, never one of the user's.
  if [ -n "$wine_prefix_made" ]; then wineserver -k 2>/dev/null || true; fi
  local hook
  for hook in "${wine_cleanup_hooks[@]}"; do "$hook"; done
}

wine_prefix() {
  local dir=$1 com1=$2 t0 mapped
  export WINEPREFIX=$dir/prefix
  export WINEDEBUG=-all
  # No Mono or Gecko installer dialogues while the prefix is made.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY CHIPFERRY_COM1
  wine_prefix_made=1
  rm -rf "$WINEPREFIX"
  mkdir -p "$dir"

  t0=$(ms)
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f </dev/null >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
  echo "$(basename "$0"): prefix created and COM1 mapped in $(( $(ms) - t0 )) ms"

  # A fresh server reads the port map when its first process starts. It is
  # started here, with no terminal, so that no test's terminal becomes its.
  t0=$(ms)
  wineserver -p 2>"$dir/wineserver.log"
  wine cmd /c exit </dev/null >/dev/null 2>&1
  mapped=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
  echo "$(basename "$0"): wineserver and services up in $(( $(ms) - t0 )) ms; com1 -> ${mapped:-nothing}"
  if [ "$mapped" != "$com1" ]; then
    echo "FAIL: Wine did not map COM1 to $com1; not running the program"
    exit 1
  fi
}
