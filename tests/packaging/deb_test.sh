#!/usr/bin/env bash
# The .deb made by make_deb.sh, checked without installing it: every program
# the build made is in it with its man page, its contents and their modes,
# its control fields, its maintainer scripts (run in a place without a
# running udev or systemd, where they must call neither), its man pages and
# icons, the service's files, and lintian's verdict (no error, no warning).
#
#   deb_test.sh BUILD_DIR DEB_DIR WITH_WINDOW(0|1)
#   deb_test.sh --self-test    the program check finds a program not shipped
set -uo pipefail

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# missing_programs BUILT_LIST CONTENTS: the programs of BUILT_LIST (one file
# name a line, as the build wrote it) that CONTENTS (dpkg-deb -c) lacks in
# /usr/bin or without a man page.
missing_programs() {
  local name
  while IFS= read -r name; do
    [ -n "$name" ] || continue
    grep -Eq " \./usr/bin/${name//./\\.}\$" "$2" || echo "$name"
    grep -Eq " \./usr/share/man/man1/${name//./\\.}\.1\.gz\$" "$2" || echo "$name.1.gz"
  done <"$1"
}

if [ "${1:-}" = "--self-test" ]; then
  work=$(mktemp -d /tmp/vantrel-deb-self-test.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  printf 'vantrel-cli\nvantrel-new\n' >"$work/built"
  printf '%s\n' \
    '-rwxr-xr-x root/root 1 2026-12-08 12:00 ./usr/bin/vantrel-cli' \
    '-rw-r--r-- root/root 1 2026-12-08 12:00 ./usr/share/man/man1/vantrel-cli.1.gz' \
    '-rwxr-xr-x root/root 1 2026-12-08 12:00 ./usr/bin/vantrel-newer' >"$work/contents"
  got=$(missing_programs "$work/built" "$work/contents" | tr '\n' ' ')
  [ "$got" = "vantrel-new vantrel-new.1.gz " ] || fail "a built program not shipped was reported as '$got'"
  [ "$failures" -eq 0 ] && echo "the check finds a program built but not shipped"
  exit "$failures"
fi

build=$1
debdir=$2
with_window=$3
work=$(mktemp -d /tmp/vantrel-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
deb="$debdir/vantrel.deb"
[ -f "$deb" ] || { echo "FAIL: no $deb (package.make)"; exit 1; }
echo "package: $(basename "$(readlink -f "$deb")")"

# --- contents -----------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
# Every program the build made, whatever the packaging's own list says.
missing=$(missing_programs "$build/packaging/built-programs.txt" "$work/contents" | tr '\n' ' ')
[ -z "$missing" ] || fail "built but not in the package: $missing"
mapfile -t programs <"$build/packaging/built-programs.txt"
for p in vantrel-cli vantrel-station vantrel-sim vantrel-script; do
  grep -qx "$p" "$build/packaging/built-programs.txt" || fail "the build made no $p"
done
if [ "$with_window" = 1 ]; then
  grep -qx vantrel "$build/packaging/built-programs.txt" || fail "the window is not built as vantrel"
fi
grep -q '\./usr/bin/Vantrel$' "$work/contents" && fail "the window is installed as Vantrel, not vantrel"
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
expect_file -rw-r--r-- usr/lib/systemd/system/vantrel-station.service
expect_file -rwxr-xr-x usr/libexec/vantrel/station-service
expect_file -rw-r--r-- etc/default/vantrel-station
expect_file -rw-r--r-- etc/logrotate.d/vantrel-station
if [ "$with_window" = 1 ]; then
  expect_file -rw-r--r-- usr/share/applications/vantrel.desktop
  for size in 16 32 48; do
    expect_file -rw-r--r-- "usr/share/icons/hicolor/${size}x${size}/apps/vantrel.png"
  done
fi
outside=$(awk '{print $6}' "$work/contents" | grep -v '^\./usr/' \
  | grep -vxE '\./|\./etc/|\./etc/default/|\./etc/logrotate\.d/|\./etc/default/vantrel-station|\./etc/logrotate\.d/vantrel-station' || true)
[ -z "$outside" ] || fail "files outside /usr and the two settings files: $outside"
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
[[ "$depends" =~ (^|,\ )adduser(,|$) ]] || fail "Depends has no adduser (postinst makes the system user)"
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
[ -x "$work/control/prerm" ] || fail "no executable prerm"
# The settings are the administrator's: an upgrade keeps their edits.
[ "$(sort "$work/control/conffiles" 2>/dev/null | tr '\n' ' ')" = \
  "/etc/default/vantrel-station /etc/logrotate.d/vantrel-station " ] || fail "conffiles: $(cat "$work/control/conffiles" 2>&1)"
# Where udev and systemd do not run, the scripts succeed and call neither.
# A udevadm, systemctl and deb-systemd-invoke that record their calls stand
# first in PATH (the user's commands too: that part is service_test.sh's,
# in a sandbox). This machine's init is not systemd: no /run/systemd/system.
if [ ! -d /run/udev ] && [ ! -d /run/systemd/system ]; then
  mkdir -p "$work/bin"
  for tool in udevadm systemctl deb-systemd-invoke adduser deluser userdel groupdel install; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
  done
  printf '#!/bin/sh\nexit 2\n' >"$work/bin/getent"  # no user vantrel yet
  chmod +x "$work/bin/getent"
  PATH="$work/bin:$PATH" sh "$work/control/postinst" configure || fail "postinst configure failed without udev"
  PATH="$work/bin:$PATH" sh "$work/control/prerm" remove || fail "prerm remove failed without systemd"
  PATH="$work/bin:$PATH" sh "$work/control/postrm" remove || fail "postrm remove failed without udev"
  grep -E '^(udevadm|systemctl|deb-systemd-invoke) ' "$work/calls" && fail "udev or systemd called where neither runs"
  grep -q '^adduser --system --group .*vantrel$' "$work/calls" || fail "postinst makes no system user: $(cat "$work/calls")"
else
  echo "note: udev or systemd runs here; the scripts' behaviour without them was not run"
fi

# --- man pages and icons -----------------------------------------------------------
ln -s "$debdir/root" "$work/root"
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
  grep -qx 'Exec=vantrel' "$work/root/usr/share/applications/vantrel.desktop" || fail "desktop entry does not run vantrel"
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
  grep -q '^W: ' "$work/lintian" && fail "lintian reports warnings"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
