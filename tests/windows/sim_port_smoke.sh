#!/usr/bin/env bash
# vantrel-sim.exe under Wine playing the terminal on a COM port, against
# vantrel-cli.exe on a second COM port of the same prefix: the two ports are
# two ptys whose masters pty_relay.py joins, a null-modem pair.
#
#   sim_port_smoke.sh WINE_RUN PREFIX SIM_EXE CLI_EXE HOST_SCRIPT_TOOL SCRIPT_TEXT WORK_DIR
#
# Passes when the run succeeds ("result: success", exit 0) and the simulator
# ends with exit 0 having received every payload byte of the script as it is
# in the description, with no mismatch. Wine's COM ports report no modem
# lines, so the simulator must say that it takes the host to be there.
set -uo pipefail
if [ $# -ne 7 ]; then
  echo "usage: $0 WINE_RUN PREFIX SIM_EXE CLI_EXE HOST_SCRIPT_TOOL SCRIPT_TEXT WORK_DIR" >&2
  exit 2
fi
wine_run="$1" prefix="$2" sim="$3" cli="$4" script_tool="$5" script_text="$6" work="$7"
here="$(cd "$(dirname "$0")" && pwd)"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
sim_pid="" relay_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null
  rm -f "$prefix/dosdevices/com7" "$prefix/dosdevices/com8"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in out.txt err.txt sim.log relay.log; do [ -f "$f" ] && { echo "== $f"; tail -n 30 "$f"; }; done; exit 1; }

command -v python3 >/dev/null || { echo "SKIP: no python3 for the relay"; exit 77; }
"$script_tool" build "$script_text" upgrader.asc >build.log 2>&1 || fail "the script did not build: $(cat build.log)"
# What the terminal must receive: every send record's payload.
want_bytes=$(awk '$1 == "send1" || $1 == "send2" { n += $2 } END { print n + 0 }' "$script_text")
want_records=$(grep -cvE '^[[:space:]]*(#|$)' "$script_text")

"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
status=$?
[ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix was not made"

python3 "$here/pty_relay.py" ready >relay.log 2>&1 &
relay_pid=$!
for _ in $(seq 1 100); do [ -s ready ] && break; sleep 0.05; done
[ -s ready ] || fail "the relay did not start"
read -r pty_a pty_b <ready
ln -sfn "$pty_a" "$prefix/dosdevices/com7"
ln -sfn "$pty_b" "$prefix/dosdevices/com8"

# Without DSR the simulator cannot see when vantrel-cli.exe opens the port
# (Wine takes a second or more to start it): each CMD_WAIT is answered 8 s
# after the simulator's own reckoning of the take, well after the real one
# and well within the upgrader's 15 s wait.
timeout 150 "$wine_run" "$prefix" "$sim" --script upgrader.asc --port COM7 --baud 115200 --idle-timeout-s 60 \
  --wait-reply-ms 8000 \
  >sim.log 2>&1 &
sim_pid=$!
for _ in $(seq 1 600); do
  grep -q '^port: COM7' sim.log 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^port: COM7' sim.log; then
  wait "$sim_pid"; status=$?; sim_pid=""
  [ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run this build's programs here"; exit 77; }
  fail "the simulator did not open COM7 (exit $status)"
fi

timeout 120 "$wine_run" "$prefix" "$cli" --port COM8 --baud 115200 >out.txt 2>err.txt
cli_status=$?
tr -d '\r' <out.txt >lines.txt
result="$(sed -n 's/^result: //p' lines.txt)"
[ "$cli_status" -eq 0 ] || fail "vantrel-cli.exe exit $cli_status, result '$result'"
[ "$result" = success ] || fail "result '$result', expected success"

# The simulator ends by itself after the last record; bounded by the
# timeout above and by its idle timeout.
wait "$sim_pid"; sim_status=$?; sim_pid=""
tr -d '\r' <sim.log >sim.txt
[ "$sim_status" -eq 0 ] || fail "simulator exit $sim_status"
summary="records=$want_records payload_bytes=$want_bytes mismatches=0 faults=0"
grep -qx "sim: $summary" sim.txt || fail "the simulator's summary is not '$summary'"
grep -q "^sim: COM7: the host's open and close are not seen" sim.txt \
  || fail "the simulator did not say that it cannot see the host's open and close"
echo "PASS: vantrel-cli.exe on COM8 played the script to vantrel-sim.exe on COM7: $summary"
