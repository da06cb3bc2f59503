#!/usr/bin/env bash
# Every test, in stages:
#   format   the sources as .clang-format makes them (scripts/check-format.sh)
#   default  the optimised build and its whole suite (the Qt window included)
#   asan     the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     the whole suite under ThreadSanitizer
#   fuzz     each fuzzer for VANTREL_FUZZ_SECONDS (default 60) from its corpus
#   windows  the 32-bit and 64-bit Windows builds and their tests under Wine
#
#   scripts/test.sh [STAGE...]      (default: all, in this order)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The compiler cache keys on paths relative to the checkout, so clones share it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
source scripts/packages.sh
scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

stages="${*:-format default asan tsan fuzz windows}"
start=$(date +%s)
# A skipped test is not a passed one: ctest counts it among "tests passed",
# so the skipped ones are collected here and named again at the end.
skipped=()
# run_ctest PRESET COMMAND...: runs the command (ctest, or ctest behind
# others), its output also in build/PRESET/ctest-output.log, and collects
# the tests it skipped.
run_ctest() {
  local preset="$1" log="build/$1/ctest-output.log" line
  shift
  "$@" | tee "$log"
  while IFS= read -r line; do
    skipped+=("$preset: $line")
  done < <(sed -n 's/^[[:space:]]*[0-9][0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
}
for stage in $stages; do
  echo "== $stage ($(( $(date +%s) - start )) s)"
  case "$stage" in
    format)
      scripts/check-format.sh
      ;;
    default|asan|tsan)
      cmake --preset "$stage" >/dev/null
      cmake --build --preset "$stage"
      run_ctest "$stage" ctest --preset "$stage" -j2
      ;;
    fuzz)
      scripts/ensure-packages.sh clang libclang-rt-14-dev
      scripts/fuzz.sh "${VANTREL_FUZZ_SECONDS:-60}"
      ;;
    windows)
      scripts/ensure-packages.sh --with-recommends "${WINDOWS_PACKAGES[@]}"
      for preset in windows-x86 windows-x64; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset"
        # Wine's null display driver makes no dialogs: the tests get a
        # virtual X display. One at a time: the window test and the serial
        # cases share the prefix's server and would wait on each other.
        run_ctest "$preset" env VANTREL_WINE_GRAPHICS=x11 \
          xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset "$preset"
      done
      ;;
    *)
      echo "test.sh: no stage '$stage' (format default asan tsan fuzz windows)" >&2
      exit 2
      ;;
  esac
done
if [ ${#skipped[@]} -eq 0 ]; then
  echo "== all stages passed ($(( $(date +%s) - start )) s)"
else
  echo "== all stages passed ($(( $(date +%s) - start )) s), but ${#skipped[@]} tests were skipped, not run:"
  printf '   %s\n' "${skipped[@]}"
fi
