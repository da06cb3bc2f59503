#!/usr/bin/env bash
# vantrel-cli.exe under Wine against the terminal simulator on a Wine COM port.
#
#   cli_serial_smoke.sh WINE_RUN PREFIX CLI_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR CASE
#
# Wine maps COM5 to a Linux device by the symlink $PREFIX/dosdevices/com5;
# the simulator's pty is new each run, so the link is made for each run.
# Line speed 115200: Wine accepts 3686400 but applies another rate on a pty.
#
# Cases:
#   success       the whole script plays: "result: success", exit 0, and the
#                 simulator saw every payload byte for byte (mismatches=0)
#   port-missing  a COM port with no device behind it: "result: port-open-failed",
#                 exit 4, with the system's reason on stderr
#   no-reply      the terminal stays silent after the first payload:
#                 "result: reply-timeout", exit 6
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../../scripts/wine-com.sh"
if [ $# -ne 8 ]; then
  echo "usage: $0 WINE_RUN PREFIX CLI_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR CASE" >&2
  exit 2
fi
wine_run="$1" prefix="$2" cli="$3" sim="$4" script_tool="$5" script_text="$6" work="$7" case_name="$8"

rm -rf "$work"
mkdir -p "$work"
cd "$work"
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; }
trap cleanup EXIT
fail() { echo "FAIL ($case_name): $*"; for f in out.txt err.txt sim.log; do [ -f "$f" ] && { echo "== $f"; tail -n 30 "$f"; }; done; exit 1; }

"$script_tool" build "$script_text" upgrader.asc >build.log 2>&1 || fail "the script did not build: $(cat build.log)"

# The prefix (and its dosdevices folder) exists once Wine has run in it.
"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
status=$?
[ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix was not made"

port=COM5
link="$prefix/dosdevices/com5"
rm -f "$link"
sim_args=(--script upgrader.asc --idle-timeout-s 30)
case "$case_name" in
  success|no-reply)
    [ "$case_name" = no-reply ] && sim_args+=(--fault 2:noreply)
    sim_behind_com "$prefix" 5 sim.log "$sim" "${sim_args[@]}" || fail "the simulator did not start"
    ;;
  port-missing)
    port=COM6
    rm -f "$prefix/dosdevices/com6"
    ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac

timeout 120 "$wine_run" "$prefix" "$cli" --port "$port" --baud 115200 >out.txt 2>err.txt
cli_status=$?
[ "$cli_status" -eq 77 ] && { cat err.txt; echo "SKIP: the program cannot run here"; exit 77; }
# The Windows C runtime ends stdout lines with "\r\n".
tr -d '\r' <out.txt >lines.txt
[ -s lines.txt ] || fail "no output at all (a 32-bit program without wine32 prints nothing)"
result="$(sed -n 's/^result: //p' lines.txt)"

case "$case_name" in
  success)
    [ "$cli_status" -eq 0 ] || fail "exit $cli_status, expected 0"
    [ "$result" = success ] || fail "result '$result', expected success"
    grep -qx "status: loader Success!" lines.txt || fail "no 'loader Success!' status line"
    grep -qx "connect: COM5: Open" lines.txt || fail "no 'COM5: Open' connection line"
    wait "$sim_pid"; sim_status=$?; sim_pid=""
    [ "$sim_status" -eq 0 ] || fail "simulator exit $sim_status"
    grep -q "records=.* mismatches=0 faults=0" sim.log || fail "the terminal did not receive the script byte for byte"
    last="$(grep '^progress: ' lines.txt | tail -n 1 | sed 's/^progress: //')"
    [ -n "$last" ] && [ "${last%/*}" = "${last#*/}" ] || fail "the last progress line '$last' is not at the end"
    ;;
  port-missing)
    [ "$cli_status" -eq 4 ] || fail "exit $cli_status, expected 4"
    [ "$result" = port-open-failed ] || fail "result '$result', expected port-open-failed"
    grep -qx "connect: COM6: Open Failed" lines.txt || fail "no 'COM6: Open Failed' connection line"
    grep -q "cannot open .*COM6: .*(error [0-9]*)" err.txt || fail "no reason on stderr"
    ;;
  no-reply)
    [ "$cli_status" -eq 6 ] || fail "exit $cli_status, expected 6"
    [ "$result" = reply-timeout ] || fail "result '$result', expected reply-timeout"
    ;;
esac
echo "PASS ($case_name): exit $cli_status, result $result"
