#!/usr/bin/env bash
# The main job: a real upgrade against the built-in terminal simulator.
# Builds the tool, makes a sample upgrader.asc, starts the simulated terminal
# on a pty and runs vantrel-cli against it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The compiler cache keys on paths relative to the checkout, so clones share it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
source scripts/packages.sh
scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}"

cmake --preset default >/dev/null
cmake --build --preset default --target vantrel-cli vantrel-sim vantrel-script

bin="$root/build/default"
work="$(mktemp -d)"
trap 'kill "${sim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/tools/script/vantrel-script" build scripts/demo-records.txt "$work/upgrader.asc"
echo "== script"
"$bin/tools/script/vantrel-script" list "$work/upgrader.asc" | head -n 5
echo "   ... $(stat -c %s "$work/upgrader.asc") bytes"
"$bin/tools/script/vantrel-script" estimate "$work/upgrader.asc" --baud 3686400

"$bin/tools/simulator/vantrel-sim" --script "$work/upgrader.asc" >"$work/sim.log" 2>&1 &
sim_pid=$!
port=""
for _ in $(seq 1 100); do
  port="$(sed -n 's/^port: //p' "$work/sim.log" | head -n 1)"
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "the simulator did not start:"; cat "$work/sim.log"; exit 1; }
echo "== terminal simulator on $port"

echo "== vantrel-cli --port $port"
start=$(date +%s%N)
set +e
(cd "$work" && "$bin/cli/vantrel-cli" --port "$port")
cli_status=$?
set -e
end=$(date +%s%N)
wait "$sim_pid"; sim_status=$?
sim_pid=""
echo "== simulator"
grep -v '^port: ' "$work/sim.log" | tail -n 5
ms=$(( (end - start) / 1000000 ))
printf '== vantrel-cli exit %d, simulator exit %d, %d.%03d s\n' "$cli_status" "$sim_status" $((ms / 1000)) $((ms % 1000))
[ "$cli_status" -eq 0 ] && [ "$sim_status" -eq 0 ]
