#!/usr/bin/env bash
# Every test: the optimised build, then the whole suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The compiler cache keys on paths relative to the checkout, so clones share it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
source scripts/packages.sh
scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

for preset in ${*:-default asan tsan}; do
  echo "== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
