#!/usr/bin/env bash
# Runs windows_port_io_tests.exe under Wine on a Wine COM port whose
# simulated terminal answers the open and then stalls (reads nothing).
#
#   port_io_tests.sh WINE_RUN PREFIX TEST_EXE SIM SCRIPT_TOOL WORK_DIR [events]
#
# With "events" the port answers modem-status queries as a USB terminal's
# port does (modem_status_preload.c), so the waits run on WaitCommEvent, and
# the test fails if they fell back to polling.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../../scripts/wine-com.sh"
if [ $# -ne 6 ] && { [ $# -ne 7 ] || [ "$7" != events ]; }; then
  echo "usage: $0 WINE_RUN PREFIX TEST_EXE SIM SCRIPT_TOOL WORK_DIR [events]" >&2
  exit 2
fi
wine_run="$1" prefix="$2" test_exe="$3" sim="$4" script_tool="$5" work="$6" events="${7:-}"

rm -rf "$work"
mkdir -p "$work"
cd "$work"
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f sim.log ] && { echo "== sim.log"; tail -n 20 sim.log; }; exit 1; }

printf 'open\nwait\nsend1 16\nclose\n' >script.txt
"$script_tool" build script.txt upgrader.asc >build.log 2>&1 || fail "the script did not build: $(cat build.log)"

"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
[ $? -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
# A 32-bit build needs Wine's 32-bit loader, which needs a kernel that runs
# 32-bit programs: without it the program cannot run at all.
"$wine_run" --can-run "$test_exe" || { echo "SKIP: Wine cannot run $(basename "$test_exe") here"; exit 77; }
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix was not made"

link="$prefix/dosdevices/com7"
rm -f "$link"
# Record 1 answers the open; record 2 (the send) is preceded by a 30 s stall.
sim_behind_com "$prefix" 7 sim.log "$sim" --script upgrader.asc --idle-timeout-s 60 --wait-reply-ms 0 \
  --fault 2:stall:30000 || fail "the simulator did not start"

if [ -n "$events" ]; then
  . "$here/modem_status.sh"
  modem_status_preload "$work"
  export VANTREL_TEST_EXPECT_EVENTS=1
fi
VANTREL_TEST_PORT=COM7 timeout 100 "$wine_run" "$prefix" "$test_exe"
status=$?
rm -f "$link"
exit "$status"
