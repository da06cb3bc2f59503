#!/usr/bin/env bash
# Vantrel.exe under Wine on a virtual X display: it starts, shows its dialog
# (screenshots go to the test's log folder), and a confirmed "Quit?" ends it.
#
#   window_smoke.sh WINE_RUN PREFIX VANTREL_EXE WORK_DIR LOG_DIR
#
# The window runs inside a Wine virtual desktop (explorer /desktop), which
# draws the captions that a bare X server without a window manager would
# not. Its trace (OutputDebugStringW) is read from Wine's debug channel to
# know when the dialog has initialised.
set -uo pipefail
inside_x=0
if [ "${1:-}" = "--inside-x" ]; then
  inside_x=1
  shift
fi
if [ $# -ne 5 ]; then
  echo "usage: $0 WINE_RUN PREFIX VANTREL_EXE WORK_DIR LOG_DIR" >&2
  exit 2
fi
wine_run="$1" prefix="$2" exe="$3" work="$4" logs="$5"
for tool in xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ $inside_x -eq 0 ]; then
  rm -rf "$work"
  mkdir -p "$work" "$logs"
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-x "$@"
fi
cd "$work"

# From here on inside the X server that xvfb-run started.
export VANTREL_WINE_GRAPHICS=x11
fail() { echo "FAIL: $*"; exit 1; }
# Polls every 0.2 s: wait_for SECONDS COMMAND...
wait_for() {
  local until=$((SECONDS + $1)); shift
  while ! "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.2
  done
}
# The screen's colour at x,y.
pixel() { import -window root png:- 2>/dev/null | convert - -format "%[pixel:p{$1,$2}]" info: 2>/dev/null; }
# The virtual desktop's own colour, where no window of ours lies.
desktop_colour=""
desktop_up() { desktop_colour="$(pixel 700 550)"; [ -n "$desktop_colour" ] && [ "$desktop_colour" != "$(pixel 1000 760)" ]; }
# Something other than the desktop is drawn at x,y.
drawn_at() { local c; c="$(pixel "$1" "$2")"; [ -n "$c" ] && [ "$c" != "$desktop_colour" ]; }
running() { kill -0 "$pid" 2>/dev/null; }
ended() { ! running; }

"$wine_run" --can-run "$exe" || { echo "SKIP: Wine cannot run $exe here"; exit 77; }

# The dialog sits at the desktop's top left (its template's position 0, 0).
"$wine_run" "$prefix" explorer.exe /desktop=vantrel,800x600 "$exe" >stdout.log 2>stderr.log &
pid=$!
wait_for 60 desktop_up || fail "no Wine desktop"
wait_for 30 drawn_at 203 118 || fail "the dialog did not appear"
running || fail "Vantrel.exe ended by itself"
sleep 0.5  # the rest of the dialog's first paint
import -window root "$logs/vantrel-started.png" || fail "no screenshot"

# The "Quit" button, then the question's default button, Yes, with Enter.
xdotool mousemove 203 118 click 1
wait_for 20 drawn_at 400 300 || fail "no \"Quit?\" question"
sleep 0.5
import -window root "$logs/vantrel-quit-question.png" || true
xdotool key Return
wait_for 20 ended || fail "\"Quit?\" answered Yes did not end Vantrel.exe"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "Vantrel.exe under the desktop ended with $status"
echo "PASS: started, asked \"Quit?\", ended on Yes; screenshots in $logs"
