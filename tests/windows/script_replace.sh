#!/usr/bin/env bash
# vantrel-script.exe under Wine builds a script over an existing, longer
# output file whose name is not ASCII: the result is the Linux tool's output
# for the same description, byte for byte, with no temporary file left.
#
#   script_replace.sh WINE_RUN PREFIX SCRIPT_EXE HOST_SCRIPT_TOOL DESCRIPTION WORK_DIR
set -uo pipefail
if [ $# -ne 6 ]; then
  echo "usage: $0 WINE_RUN PREFIX SCRIPT_EXE HOST_SCRIPT_TOOL DESCRIPTION WORK_DIR" >&2
  exit 2
fi
wine_run="$1" prefix="$2" script_exe="$3" host_tool="$4" description="$5" work="$6"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
fail() { echo "FAIL: $*"; for f in out.txt build.log; do [ -f "$f" ] && { echo "== $f"; tail -n 20 "$f"; }; done; exit 1; }

"$host_tool" build "$description" linux.asc >build.log 2>&1 || fail "the Linux tool did not build the script"
# Wine hands the command line to the program in the locale's character set.
export LC_ALL=C.UTF-8
out="Aktualisierung-ü-升级.asc"
head -c 100000 /dev/zero | tr '\0' '\252' >"$out"
# The description is read from the work folder: a plain name, as a user types it.
cp "$description" "$(basename "$description")"
timeout 120 "$wine_run" "$prefix" "$script_exe" build "$(basename "$description")" "$out" >out.txt 2>&1
status=$?
if [ "$status" -eq 77 ]; then echo "SKIP: Wine cannot run this build's programs here"; exit 77; fi
[ "$status" -eq 0 ] || fail "vantrel-script.exe build exited $status"
cmp linux.asc "$out" || fail "the Windows build of the script differs from the Linux one"
[ ! -e "$out.part" ] || fail "the temporary file $out.part was left"
# Over an existing file again, the one just written: still the same bytes.
timeout 120 "$wine_run" "$prefix" "$script_exe" build "$(basename "$description")" "$out" >out.txt 2>&1 \
  || fail "the second build over $out exited $?"
cmp linux.asc "$out" || fail "the second build differs"
# The tool reads the name back as well: list and validate by the same name.
timeout 120 "$wine_run" "$prefix" "$script_exe" validate "$out" >out.txt 2>&1 || fail "validate $out exited $?"
echo "PASS: $(stat -c %s "$out") bytes, the same as the Linux tool's, over an existing file named $out"
