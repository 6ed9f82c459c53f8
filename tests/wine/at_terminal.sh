#!/usr/bin/env bash
# Runs a Windows console program under Wine as the end-to-end harness
# starts chipferry: at a terminal, or on pipes.
#
#   tests/wine/at_terminal.sh program.exe [arguments]
#
# On pipes it is just wine. At a terminal, Wine's console would draw the
# program's output as a screen, with a cursor escape around every
# character, and no test could find a line in that. So standard input stays
# the terminal, where Wine's console reads the keys, while standard output
# goes through a pipe and on to the terminal unchanged: the program sees a
# pipe and writes its text as on Linux, and the terminal turns LF into
# CR LF as it does for the Linux build.
#
# Wine's console takes the terminal out of line mode when it starts and
# puts the settings back when it ends, each a little after the program
# itself. Keys typed before the switch would reach it as lines, with LF for
# Enter, which the console does not take as Enter; so the program's output
# is held back until the switch, and the script ends only once the settings
# are back, as they are when the Linux build ends.
if [ ! -t 0 ]; then exec wine "$@"; fi

exec 3<&0
settings=$(stty -g <&3)
# Waits, at most about three seconds, until the terminal's settings are
# what they were at the start ("same") or are no longer ("changed").
wait_settings() {
  local _ now
  for _ in $(seq 300); do
    now=$(stty -g <&3)
    if [ "$1" = same ] && [ "$now" = "$settings" ]; then return 0; fi
    if [ "$1" = changed ] && [ "$now" != "$settings" ]; then return 0; fi
    sleep 0.01
  done
}

# Ctrl+C at the terminal reaches wine itself; this script and the relay
# outlive it, to pass on the last output and the exit code. (A handler
# here, not an ignored signal: wine would inherit that.)
trap ':' INT
wine "$@" 3<&- | (trap '' INT; wait_settings changed; exec cat)
status=${PIPESTATUS[0]}
wait_settings same
exit "$status"
