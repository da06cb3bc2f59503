#!/usr/bin/env bash
# The .deb as cpack makes it from the build tree, into OUT (made afresh),
# its files unpacked into OUT/root and its control files into OUT/control,
# for the package tests that follow.
#
#   make_deb.sh BUILD_DIR OUT
set -euo pipefail
build=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
if ! cpack --config "$build/CPackConfig.cmake" -B "$out/cpack" -D CPACK_OUTPUT_FILE_PREFIX="$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
debs=("$out"/vantrel_*.deb)
[ -f "${debs[0]}" ] || { cat "$out/cpack.log"; echo "FAIL: no vantrel_*.deb made"; exit 1; }
ln -s "$(basename "${debs[0]}")" "$out/vantrel.deb"
dpkg-deb -x "$out/vantrel.deb" "$out/root"
dpkg-deb -e "$out/vantrel.deb" "$out/control"
echo "made $(basename "${debs[0]}")"
