#!/usr/bin/env bash
# The Windows figures of the receive path, under Wine on this machine:
# vantrel-cli.exe and vantrel-station.exe of a Windows build against the
# terminal simulator, beside the same programs of another build (the code
# to compare with, e.g. the previous release) measured in the same run.
#
#   scripts/bench-windows.sh BUILD_DIR BASELINE_DIR
#
# BUILD_DIR is a configured and built Windows preset (build/windows-x64,
# build/windows-x86): its cli/ and station/ programs are measured, its host
# tools (simulator, script tool) and its Wine prefix are used.
# BASELINE_DIR holds vantrel-cli.exe and vantrel-station.exe to compare with.
# The test command's prefix draws on X, so run it under xvfb-run -a as the
# Windows tests are.
#
# Figures, each for the build and the baseline, taking turns:
#   idle CPU    a 6 s delay record with the port open: the program and the
#               prefix's wineserver together, read from /proc over 4 s
#               (goal: under 5 % of one core); beside it the same with the
#               delay before the open (no port: the presence monitor's
#               device scans alone), and, for the build, with the port
#               answering modem-status queries so that the watcher waits
#               in WaitCommEvent (a bare pty makes Wine end every wait)
#   turnaround  200 send1 records of 4 KiB: the median from the terminal's
#               reply to the next payload, from the simulator's timing file
#               (goal: no worse than the baseline's)
#   demo        scripts/demo-records.txt: the program's wall time (goal:
#               within 2 % of the baseline's)
#   station     vantrel-station.exe --ports with 1, 2 and 4 simulators at
#               once playing the demo script: the slowest run's own duration
#               against the one run alone (goal: at most 1.3x)
set -uo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR BASELINE_DIR" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)" base="$(cd "$2" && pwd)"
wine_run="$root/scripts/wine-run.sh"
prefix="$build/wineprefix"
sim="$build/host-tools/tools/simulator/vantrel-sim"
script_tool="$build/host-tools/tools/script/vantrel-script"
new_cli="$build/cli/vantrel-cli.exe" new_station="$build/station/vantrel-station.exe"
old_cli="$base/vantrel-cli.exe" old_station="$base/vantrel-station.exe"
for f in "$sim" "$script_tool" "$new_cli" "$new_station" "$old_cli" "$old_station"; do
  [ -e "$f" ] || { echo "bench-windows: $f is missing" >&2; exit 2; }
done
work="$(mktemp -d)"
sims=()
cleanup() { for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
die() { echo "bench-windows: $*" >&2; exit 1; }

"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1 || die "Wine cannot run programs in $prefix"
"$wine_run" --can-run "$new_cli" || die "Wine cannot run $new_cli here"

# ticks PID, wineserver_pid PREFIX
. "$root/scripts/wine-cpu.sh"
# sim_behind_com PREFIX N LOG COMMAND...
. "$root/scripts/wine-com.sh"

# start_sim DIR N: a simulator for DIR/upgrader.asc behind COM(4+N).
start_sim() {
  local dir="$1" n="$2"
  sim_behind_com "$prefix" $((4 + n)) "$dir/sim-$n.log" "$sim" --script "$dir/upgrader.asc" \
    --timing "$dir/timing-$n.txt" --idle-timeout-s 60 || die "the simulator did not start"
  sims+=($sim_pid)
}
# A second between runs: Wine may hold a closed port a moment longer.
wait_sims() { for p in "${sims[@]}"; do wait "$p" 2>/dev/null; done; sims=(); sleep 1; }

# The idle CPU of one program in percent of one core, in a 6 s delay record:
#   idle_cpu CLI NAME [closed|events]
# with the port open and waiting; "closed": the delay comes before the open,
# so only the presence monitor works (what the program costs with no port);
# "events": the port answers modem-status queries as a USB terminal's does
# (tests/windows/modem_status_preload.c), so the watcher waits in
# WaitCommEvent instead of polling.
idle_cpu() {
  local cli="$1" dir="$work/idle-$2" mode="${3:-}" pid server before after t0 t1 preload=""
  mkdir -p "$dir"
  if [ "$mode" = closed ]; then
    printf 'delay 6\nopen\nwait\nsend1 512 seed 2\nclose\n' >"$dir/s.txt"
  else
    printf 'open\nwait\nsend1 1024 seed 1\ndelay 6\nsend1 512 seed 2\nclose\n' >"$dir/s.txt"
  fi
  if [ "$mode" = events ]; then
    preload="$dir/modem_status_preload.so"
    "${CC:-cc}" -shared -fPIC -O2 -o "$preload" "$root/tests/windows/modem_status_preload.c" -ldl || die "preload"
  fi
  "$script_tool" build "$dir/s.txt" "$dir/upgrader.asc" >/dev/null || die "script"
  start_sim "$dir" 1
  (cd "$dir" && LD_PRELOAD="$preload" exec timeout 120 "$wine_run" "$prefix" "$cli" --port COM5 --baud 115200 --trace \
     >out.txt 2>err.txt) &
  local runner=$!
  for _ in $(seq 1 600); do grep -q "秒后下载" "$dir/err.txt" 2>/dev/null && break; sleep 0.1; done
  sleep 1
  pid="$(pgrep -P "$runner" | head -n 1)"
  [ -n "$pid" ] || pid="$runner"
  server="$(wineserver_pid "$prefix")"
  [ -n "$server" ] && kill -0 "$pid" 2>/dev/null || die "$cli did not reach the delay: $(tail -n 3 "$dir/out.txt")"
  before=$(( $(ticks "$pid") + $(ticks "$server") )); t0=$(date +%s%N)
  sleep 4
  after=$(( $(ticks "$pid") + $(ticks "$server") )); t1=$(date +%s%N)
  [ "$after" -ge "$before" ] && kill -0 "$pid" 2>/dev/null \
    || die "$cli (pid $pid) or wineserver (pid $server) ended during the measurement"
  wait "$runner"; wait_sims
  awk -v d=$((after - before)) -v hz="$(getconf CLK_TCK)" -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", d / hz / (ns / 1e9) * 100 }'
}

# The median turnaround in microseconds over 200 records of 4 KiB.
turnaround() {
  local cli="$1" dir="$work/turn-$2"
  mkdir -p "$dir"
  { echo open; for _ in $(seq 1 200); do echo "send1 4096"; done; echo close; } >"$dir/s.txt"
  "$script_tool" build "$dir/s.txt" "$dir/upgrader.asc" >/dev/null || die "script"
  start_sim "$dir" 1
  (cd "$dir" && timeout 300 "$wine_run" "$prefix" "$cli" --port COM5 --baud 115200 >out.txt 2>err.txt) \
    || die "$cli failed the turnaround run: $(tail -n 3 "$dir/out.txt")"
  wait_sims
  # Lines: INDEX COMMAND PAYLOAD_FIRST_NS REPLY_LAST_NS ("-" where none).
  awk '{ idx[NR] = $1; first[NR] = $3; last[NR] = $4 }
       END { for (i = 1; i < NR; i++)
               if (idx[i + 1] == idx[i] + 1 && last[i] != "-" && first[i + 1] != "-")
                 print (first[i + 1] - last[i]) / 1000 }' "$dir/timing-1.txt" |
    sort -g | awk '{ t[NR] = $1 } END { if (NR == 0) exit 1; printf "%.0f", t[int((NR + 1) / 2)] }' ||
    die "no turnaround in $dir/timing-1.txt"
}

# The demo script's wall time in seconds.
demo_wall() {
  local cli="$1" dir="$work/demo-$2" t0 t1
  mkdir -p "$dir"
  "$script_tool" build "$root/scripts/demo-records.txt" "$dir/upgrader.asc" >/dev/null || die "script"
  start_sim "$dir" 1
  t0=$(date +%s%N)
  (cd "$dir" && timeout 300 "$wine_run" "$prefix" "$cli" --port COM5 --baud 115200 >out.txt 2>err.txt) \
    || die "$cli failed the demo: $(tail -n 3 "$dir/out.txt")"
  t1=$(date +%s%N)
  wait_sims
  awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.2f", ns / 1e9 }'
}

# The station with N simulators: the slowest run's seconds.
station_slowest() {
  local station="$1" n="$2" dir="$work/station-$3-$2" ports="" i
  mkdir -p "$dir"
  "$script_tool" build "$root/scripts/demo-records.txt" "$dir/upgrader.asc" >/dev/null || die "script"
  for i in $(seq 1 "$n"); do
    start_sim "$dir" "$i"
    ports="${ports:+$ports,}COM$((4 + i))"
  done
  (cd "$dir" && timeout 300 "$wine_run" "$prefix" "$station" --ports "$ports" --jobs "$n" --count "$n" \
     --baud 115200 --script upgrader.asc >out.txt 2>err.txt) || die "the station failed: $(tail -n 5 "$dir/out.txt")"
  wait_sims
  tr -d '\r' <"$dir/out.txt" | sed -n 's/^end: .* success .*seconds=\([0-9.]*\).*/\1/p' | sort -g | tail -n 1
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
met() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g) ? "yes" : "no" }'; }

echo "bench-windows: $(basename "$build") against $base" >&2
idle_new=$(idle_cpu "$new_cli" new); idle_old=$(idle_cpu "$old_cli" old)
closed_new=$(idle_cpu "$new_cli" new-closed closed); closed_old=$(idle_cpu "$old_cli" old-closed closed)
events_new=$(idle_cpu "$new_cli" new-events events)
grep -q "polls with pauses" "$work/idle-new-events/err.txt" && events_new="$events_new (fell back to polling)"
turn_old=$(turnaround "$old_cli" old); turn_new=$(turnaround "$new_cli" new)
demo_new=$(demo_wall "$new_cli" new); demo_old=$(demo_wall "$old_cli" old)
declare -A slow_new slow_old
for n in 1 2 4; do
  slow_new[$n]=$(station_slowest "$new_station" "$n" new)
  slow_old[$n]=$(station_slowest "$old_station" "$n" old)
done
[ -n "${slow_new[1]}" ] && [ -n "${slow_new[4]}" ] || die "a station run did not succeed"
worst_new=$(printf '%s\n' "${slow_new[2]}" "${slow_new[4]}" | sort -g | tail -n 1)

echo "| figure | this build | baseline | ratio | goal | met |"
echo "|---|---|---|---|---|---|"
echo "| CPU, port open and waiting (6 s delay), program + wineserver | $idle_new % | $idle_old % | | < 5 % of one core | $(met "$idle_new" 5) |"
echo "| CPU, no port open (6 s delay before the open: the presence monitor) | $closed_new % | $closed_old % | | | |"
echo "| what the waiting port adds (the two rows above) | $(awk -v a="$idle_new" -v b="$closed_new" 'BEGIN { printf "%.1f", a - b }') % | $(awk -v a="$idle_old" -v b="$closed_old" 'BEGIN { printf "%.1f", a - b }') % | | | |"
echo "| CPU, port open and waiting, the port answering modem-status queries (WaitCommEvent) | $events_new % | | | | |"
echo "| turnaround median, reply to next payload (200 x 4 KiB) | $turn_new us | $turn_old us | $(ratio "$turn_new" "$turn_old") | no worse than the baseline | $(met "$turn_new" "$turn_old") |"
echo "| demo script, wall time | $demo_new s | $demo_old s | $(ratio "$demo_new" "$demo_old") | within 2 % | $(met "$(ratio "$demo_new" "$demo_old")" 1.02) |"
for n in 1 2 4; do
  echo "| station --ports, $n at once: slowest run | ${slow_new[$n]} s | ${slow_old[$n]} s | $(ratio "${slow_new[$n]}" "${slow_new[1]}") of one alone | |  |"
done
echo "| station: slowest of 2 and 4 at once / one alone | $(ratio "$worst_new" "${slow_new[1]}") | | | <= 1.3x | $(met "$(ratio "$worst_new" "${slow_new[1]}")" 1.3) |"
