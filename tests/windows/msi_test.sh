#!/usr/bin/env bash
# The Windows packages of this build, made by cpack, and the MSI's life under
# Wine in a prefix of its own:
# - the ZIP and the MSI hold every program the build made (and the readme),
#   the script tool and the terminal simulator among them, and no bench;
# - `msiexec /i … /qn` installs per machine into Program Files (x64) or
#   Program Files (x86), with the Start menu's "Vantrel" and "Vantrel
#   Station" and the folder Documents\Vantrel they start in, and an
#   uninstall entry with publisher, version and icon;
# - the installed vantrel-cli.exe answers --version (--run);
# - the same files packed with a higher version install over it and leave one
#   product, of the higher version; the older one is then refused;
# - `msiexec /x … /qn` leaves nothing of ours in Program Files, the Start
#   menu, Documents or the uninstall entries.
#
#   msi_test.sh WINE_RUN BUILD_DIR PREFIX x86|x64 VERSION SOURCE_DIR [--run]
#
# With --run it installs, runs the installed vantrel-cli.exe --version and
# uninstalls, apart from the rest: a 32-bit program needs Wine's 32-bit
# loader, which some machines cannot run (then that part alone is reported
# as skipped, exit 77), while the 64-bit msiexec installs the x86 package
# anywhere.
set -uo pipefail
if [ $# -ne 6 ] && { [ $# -ne 7 ] || [ "$7" != --run ]; }; then
  echo "usage: $0 WINE_RUN BUILD_DIR PREFIX x86|x64 VERSION SOURCE_DIR [--run]" >&2
  exit 2
fi
wine_run="$1" build="$2" prefix="$3" arch="$4" version="$5" source="$6" run_only=0
work="$build/msi-test"
if [ "${7:-}" = --run ]; then
  run_only=1
  work="$build/msi-run-test"
  cli=$(sed -n 's/^vantrel-cli\.exe$/&/p' "$build/packaging/built-programs.txt")
  [ -n "$cli" ] || { echo "FAIL: the build made no vantrel-cli.exe"; exit 1; }
  if ! "$wine_run" --can-run "$build/cli/vantrel-cli.exe"; then
    echo "SKIP: Wine cannot run this build's programs here"
    exit 77
  fi
fi
rm -rf "$work" "$prefix"
mkdir -p "$work/home"
# Wine links the prefix's Documents to the home folder's: a home of the
# test's own keeps Documents\Vantrel off the machine's.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
stop() {
  echo "FAIL: $*"
  exit 1
}

# --- the packages ---------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" -D CPACK_OUTPUT_FILE_PREFIX="$work/out" \
  >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; stop "cpack"; }
case "$arch" in
  x64) zip_arch=win64 pf_dir="Program Files" other_pf="Program Files (x86)" system_dir=system32 ;;
  x86) zip_arch=win32 pf_dir="Program Files (x86)" other_pf="Program Files" system_dir=syswow64 ;;
  *) stop "no architecture $arch" ;;
esac
zip="$work/out/Vantrel-$version-$zip_arch.zip"
msi="$work/out/Vantrel-$version-$arch.msi"
[ -f "$zip" ] || stop "no $(basename "$zip"): $(ls "$work/out")"
[ -f "$msi" ] || stop "no $(basename "$msi"): $(ls "$work/out")"
echo "packages: $(basename "$zip") $(basename "$msi")"
mapfile -t built <"$build/packaging/built-programs.txt"
[ "${#built[@]}" -gt 0 ] || stop "the build lists no programs"
unzip -Z1 "$zip" | sort >"$work/zip.list"
msiinfo export "$msi" File | tr -d '\r' | tail -n +4 | cut -f3 | sed 's/.*|//' | sort >"$work/msi.list"
for name in "${built[@]}" README.txt; do
  grep -qx "$name" "$work/zip.list" || fail "the ZIP lacks $name"
  grep -qx "$name" "$work/msi.list" || fail "the MSI lacks $name"
done
# Every program people use, whatever the build lists; and no bench.
for name in Vantrel.exe vantrel-cli.exe vantrel-station.exe vantrel-script.exe vantrel-sim.exe; do
  grep -qx "$name" "$work/zip.list" || fail "the ZIP lacks $name"
  grep -qx "$name" "$work/msi.list" || fail "the MSI lacks $name"
done
for list in zip msi; do
  benches=$(grep -i 'bench' "$work/$list.list" | tr '\n' ' ')
  [ -z "$benches" ] || fail "the ${list^^} holds developer benches: $benches"
done
msiinfo export "$msi" Property | tr -d '\r' >"$work/property"
grep -qx "ProductVersion	$version" "$work/property" || fail "ProductVersion is not $version"
grep -qx 'ALLUSERS	1' "$work/property" || fail "the MSI does not install per machine"
grep -q '^ARPPRODUCTICON	' "$work/property" || fail "the MSI names no icon for its uninstall entry"
upgrade_code=$(sed -n 's/^UpgradeCode	//p' "$work/property")
[ -n "$upgrade_code" ] || fail "the MSI has no UpgradeCode"

# The same files as a higher version: what the next release would be.
IFS=. read -r major minor patch <<<"$version"
newer="$major.$minor.$((patch + 1))"
mkdir -p "$work/stage"
(cd "$work/stage" && unzip -q "$zip") || stop "unzip"
cmake -DSTAGE="$work/stage" -DVERSION="$newer" -DARCH="$arch" -DICON="$source/res/vantrel.ico" \
  -DWIXL="$(command -v wixl)" -DOUT="$work/out/Vantrel-$newer-$arch.msi" -P "$source/packaging/windows/msi.cmake" \
  || stop "the MSI of version $newer"
newer_msi="$work/out/Vantrel-$newer-$arch.msi"
[ "$(msiinfo export "$newer_msi" Property | tr -d '\r' | sed -n 's/^UpgradeCode	//p')" = "$upgrade_code" ] \
  || fail "the next version has another UpgradeCode"
[ "$(msiinfo export "$newer_msi" Property | tr -d '\r' | sed -n 's/^ProductCode	//p')" != \
  "$(sed -n 's/^ProductCode	//p' "$work/property")" ] || fail "the next version keeps the ProductCode"

# --- Wine ------------------------------------------------------------------------
"$wine_run" "$prefix" cmd.exe /c exit 0 >/dev/null 2>&1
status=$?
[ "$status" -eq 77 ] && { echo "SKIP: Wine cannot run programs here"; exit 77; }
[ -d "$prefix/drive_c" ] || stop "the Wine prefix $prefix was not made"
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32
# The registry reaches system.reg when the server ends (5 s after the last
# program: wine-run.sh starts it with -p5).
settle() { WINEPREFIX="$prefix" "$server" -w; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
msiexec() {  # msiexec ARGS...: its exit code
  timeout 300 "$wine_run" "$prefix" msiexec "$@" >>"$work/msiexec.log" 2>&1
}
pf="$prefix/drive_c/$pf_dir/Vantrel"
# Windows puts a per-machine package's shortcuts into the Start menu of all
# users; Wine 8's installer puts them into the installing user's. Either
# counts, as long as there is one of each.
common_menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
shortcut() {  # shortcut NAME: the path of the shortcut NAME.lnk, or nothing
  local f
  for f in "$common_menu/$1.lnk" "$prefix"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/"$1.lnk"; do
    [ -f "$f" ] && echo "$f"
  done
}
documents=""
for d in "$prefix"/drive_c/users/*/Documents; do
  case "$d" in */Public/*) ;; *) [ -d "$d" ] && documents=$d ;; esac
done
# uninstall_entries: "version|publisher|icon" for each product named Vantrel
# in the uninstall entries (either registry view: the x86 package's are in
# the 32-bit one), with the icon the installer keeps for it.
uninstall_entries() {
  awk '
    function value(line) { sub(/^[^=]*="/, "", line); sub(/"$/, "", line); return line }
    function flush() {
      if (kind == "uninstall" && name == "Vantrel") { entries[++n] = ver "|" pub }
      if (kind == "product" && name == "Vantrel") { icon = pi }
    }
    /^\[/ { flush(); name = ver = pub = pi = ""
            if ($0 ~ /^\[Software\\\\(Wow6432Node\\\\)?Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\/) kind = "uninstall"
            else if ($0 ~ /^\[Software\\\\Classes\\\\Installer\\\\Products\\\\[0-9A-F]+\]/) kind = "product"
            else kind = ""
            next }
    /^"DisplayName"=/ || /^"ProductName"=/ { name = value($0) }
    /^"DisplayVersion"=/ { ver = value($0) }
    /^"Publisher"=/ { pub = value($0) }
    /^"ProductIcon"=/ { pi = value($0) }
    END { flush(); for (i = 1; i <= n; i++) print entries[i] "|" icon }
  ' "$prefix/system.reg"
}
lnk_text() { tr -d '\000' <"$1"; }  # a shortcut's UTF-16 strings, readable

# Install.
msiexec /i "$(winpath "$msi")" /qn || fail "msiexec /i $version exited $? ($(tail -n 5 "$work/msiexec.log"))"
settle
for name in "${built[@]}" README.txt; do
  [ -f "$pf/$name" ] || fail "not installed: $pf_dir\\Vantrel\\$name"
done
[ ! -e "$prefix/drive_c/$other_pf/Vantrel" ] || fail "installed into $other_pf too"
window_lnk=$(shortcut Vantrel)
station_lnk=$(shortcut "Vantrel Station")
[ "$(grep -c . <<<"$window_lnk")" -eq 1 ] || fail "not one Start menu shortcut Vantrel: '$window_lnk'"
[ "$(grep -c . <<<"$station_lnk")" -eq 1 ] || fail "not one Start menu shortcut Vantrel Station: '$station_lnk'"
if [ -f "$window_lnk" ]; then
  lnk_text "$window_lnk" | grep -aqF "$pf_dir\\Vantrel\\Vantrel.exe" || fail "the shortcut Vantrel does not start Vantrel.exe"
fi
if [ -f "$station_lnk" ]; then
  lnk_text "$station_lnk" | grep -aqiF "C:\\windows\\$system_dir\\cmd.exe" || fail "the station's shortcut is no console ($system_dir)"
  lnk_text "$station_lnk" | grep -aqF "/k \"\"C:\\$pf_dir\\Vantrel\\vantrel-station.exe\"\"" \
    || fail "the station's shortcut does not start vantrel-station.exe"
  lnk_text "$station_lnk" | grep -aqF 'Documents\Vantrel\' \
    || fail "the station's shortcut does not work in Documents\\Vantrel"
fi
[ -n "$documents" ] && [ -d "$documents/Vantrel" ] || fail "no Documents\\Vantrel"
entries=$(uninstall_entries)
echo "uninstall entry: $entries"
[ "$(grep -c . <<<"$entries")" -eq 1 ] || fail "not one uninstall entry: $entries"
IFS='|' read -r shown_version publisher icon <<<"$entries"
[ "$shown_version" = "$version" ] || fail "the uninstall entry shows version '$shown_version'"
[ "$publisher" = Vantrel ] || fail "the uninstall entry shows publisher '$publisher'"
icon_file="$prefix/drive_c/$(sed 's/^C:\\\\//; s/\\\\/\//g' <<<"$icon")"
[ -n "$icon" ] && [ -s "$icon_file" ] || fail "the product has no icon: '$icon'"

if [ "$run_only" = 1 ]; then
  # The installed program runs.
  "$wine_run" "$prefix" "$pf/vantrel-cli.exe" --version >"$work/version.txt" 2>&1 \
    || fail "the installed vantrel-cli.exe --version exited $?: $(cat "$work/version.txt")"
  tr -d '\r' <"$work/version.txt" | grep -Eq "^vantrel-cli $version \(revision [^ )]+\)$" \
    || fail "the installed vantrel-cli.exe --version said: $(cat "$work/version.txt")"
  msiexec /x "$(winpath "$msi")" /qn || fail "msiexec /x exited $?"
  settle
  [ ! -e "$pf" ] || fail "left in $pf_dir: $(ls -A "$pf")"
  [ "$failures" -eq 0 ] || exit 1
  echo "the installed vantrel-cli.exe ($arch) answers --version: $(tr -d '\r' <"$work/version.txt")"
  exit 0
fi

# A higher version over it: one product, the newer.
msiexec /i "$(winpath "$newer_msi")" /qn || fail "msiexec /i $newer exited $?"
settle
entries=$(uninstall_entries)
echo "after the upgrade: $entries"
[ "$(grep -c . <<<"$entries")" -eq 1 ] || fail "not one product after the upgrade: $entries"
[ "$(cut -d'|' -f1 <<<"$entries")" = "$newer" ] || fail "the product left is not $newer: $entries"
for name in "${built[@]}" README.txt; do
  [ -f "$pf/$name" ] || fail "the upgrade lost $name"
done
[ -n "$(shortcut "Vantrel Station")" ] || fail "the upgrade lost the station's shortcut"
# The older one over the newer is refused and changes nothing.
if msiexec /i "$(winpath "$msi")" /qn; then
  fail "the older version installed over the newer"
fi
settle
entries=$(uninstall_entries)
[ "$(cut -d'|' -f1 <<<"$entries")" = "$newer" ] && [ "$(grep -c . <<<"$entries")" -eq 1 ] \
  || fail "refusing the older version changed the products: $entries"

# Uninstall: nothing of ours is left.
msiexec /x "$(winpath "$newer_msi")" /qn || fail "msiexec /x exited $?"
settle
[ ! -e "$pf" ] || fail "left in $pf_dir: $(ls -A "$pf")"
[ -z "$(shortcut Vantrel)$(shortcut "Vantrel Station")" ] || fail "shortcuts left in the Start menu"
[ -z "$documents" ] || [ ! -e "$documents/Vantrel" ] || fail "left an empty Documents\\Vantrel"
entries=$(uninstall_entries)
[ -z "$entries" ] || fail "an uninstall entry is left: $entries"

if [ "$failures" -ne 0 ]; then
  echo "== msiexec.log"
  tail -n 30 "$work/msiexec.log"
  echo "$failures check(s) failed"
  exit 1
fi
echo "the $arch MSI installs, upgrades and uninstalls silently"
