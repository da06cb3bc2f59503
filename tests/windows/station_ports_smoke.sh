#!/usr/bin/env bash
# vantrel-station.exe under Wine serving two Wine COM ports (--ports), each
# linked to its own terminal simulator, built for the host.
#
#   station_ports_smoke.sh WINE_RUN PREFIX STATION_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR
#
# vantrel-cli.exe is found beside the station (the build tree's cli/ folder).
# Both runs must succeed ("end: COM7 success", "end: COM8 success"), each
# simulator must have received the script byte for byte, and the log must
# hold one JSON line per run. Line speed 115200 for the reason given in
# cli_serial_smoke.sh.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../../scripts/wine-com.sh"
if [ $# -ne 7 ]; then
  echo "usage: $0 WINE_RUN PREFIX STATION_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR" >&2
  exit 2
fi
wine_run="$1" prefix="$2" station="$3" sim="$4" script_tool="$5" script_text="$6" work="$7"

rm -rf "$work"
mkdir -p "$work"
cd "$work"
sim_pids=()
cleanup() { for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null; done; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in out.txt err.txt sim7.log sim8.log runs.log; do [ -f "$f" ] && { echo "== $f"; tail -n 30 "$f"; }; done; exit 1; }

"$script_tool" build "$script_text" upgrader.asc >build.log 2>&1 || fail "the script did not build: $(cat build.log)"

"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
status=$?
[ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix was not made"

for n in 7 8; do
  sim_behind_com "$prefix" "$n" "sim$n.log" "$sim" --script upgrader.asc --idle-timeout-s 60 \
    || fail "simulator $n did not start"
  sim_pids+=($sim_pid)
done

timeout 60 "$wine_run" "$prefix" "$station" --ports COM7,COM8 --jobs 2 --count 2 --baud 115200 \
  --log runs.log >out.txt 2>err.txt
station_status=$?
[ "$station_status" -eq 77 ] && { cat err.txt; echo "SKIP: the program cannot run here"; exit 77; }
tr -d '\r' <out.txt >lines.txt
[ "$station_status" -eq 0 ] || fail "exit $station_status, expected 0"
grep -q "^end: COM7 success exit=0 " lines.txt || fail "no successful run on COM7"
grep -q "^end: COM8 success exit=0 " lines.txt || fail "no successful run on COM8"
grep -q "^summary: runs=2 success=2 " lines.txt || fail "no summary of two successes"
for n in 7 8; do
  wait "${sim_pids[$((n - 7))]}" || fail "simulator $n failed"
  grep -q "records=.* mismatches=0 faults=0" "sim$n.log" || fail "COM$n did not receive the script byte for byte"
done
sim_pids=()
[ "$(wc -l <runs.log)" -eq 2 ] || fail "the log holds $(wc -l <runs.log) lines, expected 2"
grep -q '"port":"COM7".*"result":"success","exit_code":0' runs.log || fail "no log line for COM7"
echo "PASS: two COM ports served at once"
