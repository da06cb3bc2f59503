#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzzer for a bounded time from its
# seed corpus, one after another (the machine's cores are shared).
#
#   scripts/fuzz.sh [SECONDS] [FUZZER...]
#
# SECONDS per fuzzer, default 60. FUZZER: script, lookup, receive (default
# all). The corpus in fuzz/corpus/<fuzzer>/ holds the hand-made seeds
# (seed-*) and the units of the long runs merged with -merge=1 (SHA-1 names).
# New interesting inputs go to build/fuzz/corpus/<fuzzer>/, never into the
# repository by themselves. A crash, leak or broken invariant makes the script
# fail; the input is kept under build/fuzz/artifacts/<fuzzer>/. Once the
# fault is fixed, copy that input to fuzz/corpus/<fuzzer>/regress-<what> so
# that every later run replays it first.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
fuzzers=("$@")
if [ ${#fuzzers[@]} -eq 0 ]; then fuzzers=(script lookup receive); fi
case $seconds in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2;; esac

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

build=$root/build/fuzz
status=0
summary=()
for name in "${fuzzers[@]}"; do
    bin=$build/fuzz/vantrel_fuzz_$name
    if [ ! -x "$bin" ]; then echo "fuzz.sh: no fuzzer $name ($bin)" >&2; exit 2; fi
    work=$build/corpus/$name
    artifacts=$build/artifacts/$name
    log=$build/logs/$name.log
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    # Inputs kept from earlier runs are not counted again.
    marker=$build/logs/$name.start
    touch "$marker"
    dict=()
    if [ -f "$root/fuzz/$name.dict" ]; then dict=(-dict="$root/fuzz/$name.dict"); fi
    echo "== $name: ${seconds}s (log $log)"
    # The dialog fuzzers change the working directory: every path is absolute.
    rc=0
    "$bin" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "${dict[@]}" "$work" "$root/fuzz/corpus/$name" >"$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    found=$(find "$artifacts" -type f -newer "$marker" | wc -l)
    summary+=("$name: ${execs:-?} executions, exit $rc, $found finding(s)")
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        status=1
        echo "fuzz.sh: $name failed (exit $rc); inputs in $artifacts" >&2
        grep -m5 -E "ERROR: |INVARIANT BROKEN|SUMMARY:" "$log" >&2 || tail -20 "$log" >&2
    fi
done
printf '%s\n' "${summary[@]}"
exit $status
