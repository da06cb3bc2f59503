#!/usr/bin/env bash
# Opens the tool's window. Without a display it runs under Xvfb, saves a
# screenshot of the window and prints where.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The compiler cache keys on paths relative to the checkout, so clones share it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
source scripts/packages.sh
scripts/ensure-packages.sh "${BUILD_PACKAGES[@]}" xvfb xauth
cmake --preset default >/dev/null
cmake --build --preset default --target Vantrel
if [ -n "${DISPLAY:-}" ]; then
  exec build/default/vantrel
fi
shot="${1:-$root/build/default/vantrel-window.png}"
VANTREL_SCREENSHOT="$shot" VANTREL_EXIT_AFTER_SCREENSHOT=1 \
  xvfb-run -a -s "-screen 0 1024x768x24" build/default/vantrel
