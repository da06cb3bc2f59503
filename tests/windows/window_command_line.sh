#!/usr/bin/env bash
# Vantrel.exe's own command line under Wine: --version and --help answer on
# the standard output it was given and exit 0; an unknown option is named on
# stderr with the usage, and the exit code is 2. No window is made.
#
#   window_command_line.sh WINE_RUN PREFIX VANTREL_EXE
set -uo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 WINE_RUN PREFIX VANTREL_EXE" >&2
  exit 2
fi
wine_run="$1" prefix="$2" exe="$3"
"$wine_run" --can-run "$exe"
case $? in
  0) ;;
  77) echo "SKIP: Wine cannot run $exe here"; exit 77 ;;
  *) echo "FAIL: wine-run.sh --can-run failed"; exit 1 ;;
esac
fail() { echo "FAIL: $*"; exit 1; }
# Windows writes text with CR LF line ends.
run() { "$wine_run" "$prefix" "$exe" "$@" >"$out.raw" 2>"$err.raw"; local s=$?; tr -d '\r' <"$out.raw" >"$out"; tr -d '\r' <"$err.raw" >"$err"; return $s; }
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err" "$out.raw" "$err.raw"' EXIT

run --version
status=$?
[ $status -eq 0 ] || fail "--version exited $status: $(cat "$err")"
grep -Eq '^Vantrel [0-9]+\.[0-9]+\.[0-9]+ \(revision [^ )]+\)$' "$out" || fail "--version printed: $(cat "$out")"

run --help
status=$?
[ $status -eq 0 ] || fail "--help exited $status"
head -1 "$out" | grep -q '^usage: Vantrel' || fail "--help printed: $(head -3 "$out")"
grep -q -- '--version' "$out" || fail "--help lists no --version"
# Qt's options are the Linux window's; the Windows one reads none.
! grep -q -- '-platform' "$out" || fail "--help lists Qt's -platform on Windows"

run --bogus
status=$?
[ $status -eq 2 ] || fail "--bogus exited $status"
grep -q "^Vantrel: unknown option '--bogus'" "$err" || fail "--bogus said: $(cat "$err")"
[ ! -s "$out" ] || fail "--bogus wrote to stdout: $(cat "$out")"
echo "PASS: --version, --help and an unknown option answered on the standard handles"
