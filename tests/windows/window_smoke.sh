#!/usr/bin/env bash
# Vantrel.exe under Wine on a virtual X display: it starts, shows its dialog
# (screenshots go to the test's log folder), and a confirmed "Quit?" ends it.
#
#   window_smoke.sh WINE_RUN PREFIX VANTREL_EXE WORK_DIR LOG_DIR
#
# The window runs inside a Wine virtual desktop (explorer /desktop), which
# draws the captions that a bare X server without a window manager would
# not. The program's trace (OutputDebugStringW, Wine's warn+seh channel, in
# stderr.log) tells when the dialog has initialised and when the answer Yes
# has reached it; the screen tells when the dialog and the question are drawn.
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
# A failure leaves the screen as it was and the trace's end beside the reason.
fail() {
  echo "FAIL: $*"
  import -window root "$logs/vantrel-failed.png" 2>/dev/null && echo "screen: $logs/vantrel-failed.png"
  [ -f stderr.log ] && { echo "== stderr.log (end)"; tail -n 20 stderr.log; }
  exit 1
}
# Polls every 0.2 s: wait_for SECONDS COMMAND...
wait_for() {
  local until=$((SECONDS + $1)); shift
  while ! "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.2
  done
}
# The screen, taken once per check: every colour a check compares comes from
# the same picture, as raw RGB bytes. (ImageMagick's colour names do not
# compare: the same black is "gray(0)" in a picture without colour and
# "srgb(0,0,0)" in one with colour, so black compared unequal to black while
# the desktop was appearing, and the clicks went out before the dialog was
# there.)
width=1024 height=768
snap() {
  import -window root -depth 8 rgb:screen.rgb 2>/dev/null &&
    [ "$(stat -c %s screen.rgb 2>/dev/null)" = $((width * height * 3)) ]
}
# The colour at x,y of the last picture, as six hex digits.
at() { od -An -tx1 -j$((($2 * width + $1) * 3)) -N3 screen.rgb | tr -d ' \n'; }
# The virtual desktop's own colour: the same at three places where no window
# of ours lies, and not the colour outside the desktop (which is 800x600).
desktop_colour=""
desktop_up() {
  snap || return 1
  desktop_colour="$(at 700 550)"
  [ -n "$desktop_colour" ] && [ "$desktop_colour" != "$(at 1000 760)" ] &&
    [ "$(at 790 590)" = "$desktop_colour" ] && [ "$(at 420 590)" = "$desktop_colour" ]
}
# In one picture, the desktop still has its colour and something else is
# drawn at x,y.
drawn_at() {
  snap || return 1
  [ "$(at 700 550)" = "$desktop_colour" ] && [ "$(at "$1" "$2")" != "$desktop_colour" ]
}
# The program has traced this line.
traced() { grep -qF "\"$1\\r\\n\"" stderr.log; }
running() { kill -0 "$pid" 2>/dev/null; }
ended() { ! running; }

"$wine_run" --can-run "$exe"
case $? in
  0) ;;
  77) echo "SKIP: Wine cannot run $exe here"; exit 77 ;;
  *) fail "$wine_run cannot tell whether Wine runs $exe" ;;
esac

# The dialog sits at the desktop's top left (its template's position 0, 0);
# its "Quit" button at 203,118, and the question box will cover 400,300.
VANTREL_WINEDEBUG=-all,warn+seh \
  "$wine_run" "$prefix" explorer.exe /desktop=vantrel,800x600 "$exe" >stdout.log 2>stderr.log &
pid=$!
wait_for 60 desktop_up || fail "no Wine desktop"
wait_for 60 traced AppInit || fail "the dialog did not initialise (no \"AppInit\" in the trace)"
wait_for 30 drawn_at 203 118 || fail "the dialog did not appear"
running || fail "Vantrel.exe ended by itself"
sleep 0.5  # the rest of the dialog's first paint
snap && [ "$(at 400 300)" = "$desktop_colour" ] || fail "something other than the desktop lies where the question will be"
import -window root "$logs/vantrel-started.png" || fail "no screenshot"

# The "Quit" button, then the question's default button, Yes, with Enter.
xdotool mousemove 203 118 click 1
wait_for 20 drawn_at 400 300 || fail "no \"Quit?\" question"
sleep 0.5
import -window root "$logs/vantrel-quit-question.png" || true
xdotool key Return
wait_for 20 traced AppUninit || fail "Enter did not answer \"Quit?\" with Yes (no \"AppUninit\" in the trace)"
wait_for 20 ended || fail "\"Quit?\" answered Yes did not end Vantrel.exe"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "Vantrel.exe under the desktop ended with $status"
echo "PASS: started, asked \"Quit?\", ended on Yes; screenshots in $logs"
