#!/usr/bin/env bash
# vantrel-station.exe under Wine serving its page and API (--http) while it
# upgrades two Wine COM ports (--ports), each linked to a terminal
# simulator built for the host; the page, /api/v1/status, /api/v1/runs and
# /metrics are fetched from Linux with curl.
#
#   station_web_smoke.sh WINE_RUN PREFIX STATION_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR PORT
#
# Once COM7's run has ended, while COM8's goes on, the status must show
# one success and one run, /api/v1/runs must hold COM7's log line, /metrics
# must count it, and the page must come with its Content-Security-Policy;
# then both runs must end well.
# Line speed 115200 for the reason given in cli_serial_smoke.sh.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../../scripts/wine-com.sh"
if [ $# -ne 8 ]; then
  echo "usage: $0 WINE_RUN PREFIX STATION_EXE SIM SCRIPT_TOOL SCRIPT_TEXT WORK_DIR PORT" >&2
  exit 2
fi
wine_run="$1" prefix="$2" station="$3" sim="$4" script_tool="$5" script_text="$6" work="$7" port="$8"
url="http://127.0.0.1:$port"

rm -rf "$work"
mkdir -p "$work"
cd "$work"
sim_pids=()
station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill -KILL "$station_pid" 2>/dev/null
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null; done
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for f in out.txt err.txt sim7.log sim8.log runs.log status.json; do [ -f "$f" ] && { echo "== $f"; tail -n 30 "$f"; }; done
  exit 1
}
command -v curl >/dev/null || { echo "SKIP: no curl"; exit 77; }
command -v python3 >/dev/null || { echo "SKIP: no python3"; exit 77; }

"$script_tool" build "$script_text" upgrader.asc >build.log 2>&1 || fail "the script did not build: $(cat build.log)"

"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
status=$?
[ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix was not made"

# A simulator linked at COM$1, with its other arguments.
plug() {
  local n="$1"
  shift
  sim_behind_com "$prefix" "$n" "sim$n.log" "$sim" --script upgrader.asc --idle-timeout-s 90 "$@" \
    || fail "simulator $n did not start"
  sim_pids+=($sim_pid)
}
# COM8's terminal takes 3 s over each reply (the upgrader waits 5 s), so
# that COM7's run has ended, and is in the log and the API, while COM8's
# goes on. --count 2: both runs start at once and the station looks for no
# more, so a simulator's pty, gone with it and reused by some other
# program, is never taken for a terminal plugged in again.
plug 7
plug 8 --wait-reply-ms 3000

"$wine_run" "$prefix" "$station" --ports COM7,COM8 --jobs 2 --count 2 --baud 115200 --log runs.log \
  --http "127.0.0.1:$port" >out.txt 2>err.txt &
station_pid=$!

# Bounded: a run takes several seconds under Wine.
state=""
for _ in $(seq 1 600); do
  if ! kill -0 "$station_pid" 2>/dev/null; then
    wait "$station_pid"; st=$?; station_pid=""
    [ "$st" -eq 77 ] && { cat err.txt; echo "SKIP: the program cannot run here"; exit 77; }
    fail "the station ended (exit $st) before COM7's run was seen in the API"
  fi
  if curl -sf --max-time 2 "$url/api/v1/status" -o status.json 2>/dev/null; then
    state="$(python3 -c 'import json; s=json.load(open("status.json")); print(s["totals"]["passed"] + s["totals"]["failed"], *[x["state"] for x in s["slots"]])' 2>/dev/null)"
    case "$state" in "1 "*) break ;; esac
  fi
  sleep 0.2
done
case "$state" in "1 "*) ;; *) fail "the status never counted COM7's run ($state)" ;; esac

python3 - "$url" <<'PY' || fail "the API does not agree with the log"
import json, sys, urllib.request
url = sys.argv[1]
status = json.load(urllib.request.urlopen(url + "/api/v1/status", timeout=5))
assert status["totals"]["passed"] == 1 and status["totals"]["failed"] == 0, status["totals"]
slots = {s["key"]: s for s in status["slots"]}
assert list(slots) == ["COM7", "COM8"], list(slots)
assert slots["COM8"]["state"] == "running" and slots["COM8"]["port"] == "COM8", slots["COM8"]
assert slots["COM7"]["state"] == "success" and slots["COM7"]["result"] == "success", slots["COM7"]
assert len(status["script"]["sha256"]) == 64, status["script"]
runs = json.load(urllib.request.urlopen(url + "/api/v1/runs?since=0", timeout=5))["runs"]
logged = [json.loads(l) for l in open("runs.log", encoding="utf-8") if l.strip()]
assert len(runs) == 1 and runs[0]["seq"] == 1, runs
assert [{k: v for k, v in r.items() if k != "seq"} for r in runs] == logged, (runs, logged)
assert logged[0]["port"] == "COM7" and logged[0]["result"] == "success", logged
metrics = urllib.request.urlopen(url + "/metrics", timeout=5).read().decode().splitlines()
assert 'vantrel_runs_total{result="success",slot="COM7"} 1' in metrics, metrics[:40]
assert "vantrel_runs_running 1" in metrics, [m for m in metrics if "running" in m]
print("api: status, runs and metrics agree with the log")
PY

headers="$(curl -s --max-time 5 -D - -o page.html "$url/")" || fail "no page"
echo "$headers" | grep -qi '^Content-Security-Policy: .*script-src .self.' || fail "the page has no policy against inline script: $headers"
grep -q 'id="tiles"' page.html || fail "the page has no tiles: $(head -c 300 page.html)"
curl -sf --max-time 5 "$url/app.js" -o app.js || fail "no app.js"
curl -sf --max-time 5 "$url/healthz" | grep -q '"ok"' || fail "no /healthz"

for _ in $(seq 1 600); do kill -0 "$station_pid" 2>/dev/null || break; sleep 0.2; done
kill -0 "$station_pid" 2>/dev/null && fail "the station did not end after its two runs"
wait "$station_pid"
station_status=$?
station_pid=""
tr -d '\r' <out.txt >lines.txt
[ "$station_status" -eq 0 ] || fail "exit $station_status, expected 0"
grep -q "^end: COM7 success exit=0 " lines.txt || fail "no successful run on COM7"
grep -q "^end: COM8 success exit=0 " lines.txt || fail "no successful run on COM8"
[ "$(wc -l <runs.log)" -eq 2 ] || fail "the log holds $(wc -l <runs.log) lines, expected 2"
echo "PASS: the page and the API served under Wine while two COM ports were upgraded"
