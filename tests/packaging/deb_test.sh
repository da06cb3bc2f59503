#!/usr/bin/env bash
# The .deb as built by cpack from the build tree, checked without installing
# it: its contents, its control fields, its maintainer scripts (run in a
# place without a running udev, where they must do nothing), its man pages
# and icons, and lintian's verdict (no error; warnings are listed).
#
#   deb_test.sh BUILD_DIR WITH_WINDOW(0|1)
set -uo pipefail

build=$1
with_window=$2
work=$(mktemp -d /tmp/vantrel-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" -D CPACK_OUTPUT_FILE_PREFIX="$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$(ls "$work"/vantrel_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no vantrel_*.deb made"; exit 1; }
echo "package: $(basename "$deb")"

# --- contents -----------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
programs=(vantrel-cli vantrel-sim vantrel-script)
[ "$with_window" = 1 ] && programs+=(Vantrel)
expect_file() {  # MODE PATH
  grep -Eq "^$1 root/root +[0-9]+ [0-9-]+ [0-9:]+ \./${2//./\\.}\$" "$work/contents" || fail "no $1 $2 in the package"
}
for p in "${programs[@]}"; do
  expect_file -rwxr-xr-x "usr/bin/$p"
  expect_file -rw-r--r-- "usr/share/man/man1/$p.1.gz"
done
expect_file -rw-r--r-- usr/lib/udev/rules.d/70-vantrel-terminals.rules
expect_file -rw-r--r-- usr/share/doc/vantrel/copyright
expect_file -rw-r--r-- usr/share/doc/vantrel/changelog.gz
if [ "$with_window" = 1 ]; then
  expect_file -rw-r--r-- usr/share/applications/vantrel.desktop
  for size in 16 32 48; do
    expect_file -rw-r--r-- "usr/share/icons/hicolor/${size}x${size}/apps/vantrel.png"
  done
fi
outside=$(awk '{print $6}' "$work/contents" | grep -v '^\./usr/' | grep -vx '\./' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
grep -q 'vantrel-bench' "$work/contents" && fail "the benchmark (built-in build paths) is packaged"

# --- control fields ---------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vantrel ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[[ "$(field Version)" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" =~ ^.+\ \<[^@\ ]+@[^@\ ]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
depends=$(field Depends)
echo "Depends: $depends"
# From dpkg-shlibdeps: versioned library packages, not a hand-written list.
[[ "$depends" =~ libc6\ \(\>=\ [0-9.]+\) ]] || fail "Depends has no versioned libc6"
[[ "$depends" =~ libstdc\+\+6\ \(\>= ]] || fail "Depends has no libstdc++6"
if [ "$with_window" = 1 ]; then
  [[ "$depends" =~ libqt6widgets6\ \(\>= ]] || fail "Depends has no libqt6widgets6"
fi
[ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "no long description"

# --- maintainer scripts -----------------------------------------------------------
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  f="$work/control/$script"
  [ -x "$f" ] || { fail "no executable $script"; continue; }
  grep -q 'udevadm control --reload' "$f" || fail "$script does not reload udev"
  grep -q '\[ -d /run/udev \]' "$f" || fail "$script does not look for a running udev"
done
# Where udev does not run, the scripts succeed and call nothing. A udevadm
# that records its calls stands first in PATH; the scripts may only call it
# when /run/udev exists.
if [ ! -d /run/udev ]; then
  mkdir -p "$work/bin"
  printf '#!/bin/sh\necho "$@" >>"%s/udevadm.calls"\n' "$work" >"$work/bin/udevadm"
  chmod +x "$work/bin/udevadm"
  PATH="$work/bin:$PATH" sh "$work/control/postinst" configure || fail "postinst configure failed without udev"
  PATH="$work/bin:$PATH" sh "$work/control/postrm" remove || fail "postrm remove failed without udev"
  [ ! -e "$work/udevadm.calls" ] || fail "udevadm called without a running udev: $(cat "$work/udevadm.calls")"
else
  echo "note: udev runs here; the scripts' behaviour without udev was not run"
fi

# --- man pages and icons -----------------------------------------------------------
dpkg-deb -x "$deb" "$work/root"
for p in "${programs[@]}"; do
  page="$work/root/usr/share/man/man1/$p.1.gz"
  [ -f "$page" ] || continue
  gzip -t "$page" || fail "$p.1.gz is not gzip"
  # gzip -n: no file name (flag bit 3) and no time stamp in the header.
  header=$(od -An -tx1 -N8 "$page" | tr -d ' \n')
  [ "${header:6:2}" = 00 ] && [ "${header:8:8}" = 00000000 ] || fail "$p.1.gz carries a name or a time ($header)"
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$p.1: groff: $warnings"
  zcat "$page" | grep -q '^\.SH EXIT STATUS' || fail "$p.1 has no exit status"
done
if [ "$with_window" = 1 ]; then
  for size in 16 32 48; do
    png="$work/root/usr/share/icons/hicolor/${size}x${size}/apps/vantrel.png"
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
    [ "$dims" = "${size}x${size}" ] || fail "icon ${size}x${size} is $dims"
  done
  grep -qx 'Exec=Vantrel' "$work/root/usr/share/applications/vantrel.desktop" || fail "desktop entry does not run Vantrel"
  grep -qx 'Icon=vantrel' "$work/root/usr/share/applications/vantrel.desktop" || fail "desktop entry names no icon"
fi

# --- lintian -------------------------------------------------------------------------
if ! command -v lintian >/dev/null; then
  fail "lintian is not installed (scripts/packages.sh TEST_PACKAGES)"
else
  lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>"$work/lintian.err"
  grep -v 'running with root privileges' "$work/lintian.err" >&2 || true
  echo "lintian:"
  sed 's/^/  /' "$work/lintian"
  grep -q '^E: ' "$work/lintian" && fail "lintian reports errors"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
