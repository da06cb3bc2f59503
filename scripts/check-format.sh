#!/usr/bin/env bash
# Checks that the C and C++ sources of the formatted folders are as
# clang-format makes them with the project's .clang-format; prints the
# files that are not, and how to fix them. Third-party code is left as it
# came. `scripts/check-format.sh --fix` formats them instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# clang-format's output differs between versions: this one is the checked one.
tool=clang-format-14
folders=(common engine serial device app res framework platform window cli fuzz station bench tools tests)
command -v "$tool" >/dev/null || { echo "check-format: $tool is not installed (scripts/packages.sh)" >&2; exit 1; }
mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort)
[ ${#files[@]} -gt 0 ] || { echo "check-format: no sources found" >&2; exit 1; }
if [ "${1:-}" = --fix ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  "$tool" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted:"
  printf '  %s\n' "${bad[@]}"
  echo "fix them with: scripts/check-format.sh --fix"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
