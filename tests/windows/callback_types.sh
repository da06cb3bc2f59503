#!/usr/bin/env bash
# Every function of ours that reaches the system through an untyped cast has
# its type checked at compile time.
#
#   callback_types.sh SOURCE_DIR    check the sources; exit 1 listing each unchecked cast
#   callback_types.sh --self-test   show that an unchecked cast is found and a checked one is not
#
# The system calls window, timer, thread and hook procedures through pointers
# of its own types, stdcall in the 32-bit build. Passed as they are, a wrong
# one does not compile; cast to LONG_PTR, void* or the like (subclassing, an
# import table) it compiles and unbalances the caller's stack at run time. So
# each such cast of &Name, or of Name, needs in the same file
#   static_assert(std::is_same_v<decltype(&Name), THE_SYSTEM_TYPE>);
# which fails to compile in the 32-bit build when Name lacks WINAPI/CALLBACK.
# Our functions are named in PascalCase and our variables are not, which is
# how a function's name is told from a variable's here. The POSIX platform,
# where WINAPI and CALLBACK are empty, is not looked at.
set -uo pipefail

untyped='void[[:space:]]*\*|LONG_PTR|ULONG_PTR|INT_PTR|UINT_PTR|DWORD_PTR|LPARAM|WPARAM|LPVOID|PVOID|FARPROC|(std::)?uintptr_t'
name='[A-Z][A-Za-z0-9_]*(::[A-Z][A-Za-z0-9_]*)*'
casts="reinterpret_cast<[[:space:]]*($untyped)[[:space:]]*>[[:space:]]*\\([[:space:]]*&?[[:space:]]*$name[[:space:]]*\\)"
c_casts="\\([[:space:]]*($untyped)[[:space:]]*\\)[[:space:]]*&?[[:space:]]*$name([^A-Za-z0-9_:(]|$)"

# Prints file:line: Name for each cast without its static_assert.
unchecked() {
  local root="$1" file line text fn
  while IFS=: read -r file line text; do
    fn="$(grep -oE "$casts|$c_casts" <<<"$text" | grep -oE "$name" | tail -n 1)"
    [ -n "$fn" ] || continue
    grep -qF "static_assert(std::is_same_v<decltype(&$fn)," "$file" && continue
    echo "${file#"$root"/}:$line: $fn"
  done < <(grep -rnE --include='*.cpp' --include='*.h' "$casts|$c_casts" "$root" \
             --exclude-dir=build --exclude-dir=.git --exclude-dir=posix)
}

check() {
  local found
  found="$(unchecked "$1")"
  if [ -n "$found" ]; then
    echo "FAIL: functions cast to an untyped pointer without a static_assert on their type:"
    echo "$found"
    return 1
  fi
  echo "PASS: every function cast to an untyped pointer has its type checked"
}

if [ "${1:-}" = "--self-test" ]; then
  dir="$(mktemp -d)"
  trap 'rm -rf "$dir"' EXIT
  mkdir -p "$dir/cli" "$dir/platform/posix"
  cat >"$dir/cli/checked.cpp" <<'EOF'
LRESULT CALLBACK GoodProc(HWND, UINT, WPARAM, LPARAM);
static_assert(std::is_same_v<decltype(&GoodProc), WNDPROC>);
void Install(HWND h) { SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GoodProc)); }
void Post(HWND h, RECT* range) { SendMessageW(h, 0, 0, reinterpret_cast<LPARAM>(&range)); }
EOF
  cat >"$dir/platform/posix/ignored.cpp" <<'EOF'
void* Ignored() { return reinterpret_cast<void*>(&PosixOnly); }
EOF
  check "$dir" >/dev/null || { echo "FAIL: a checked cast was reported"; check "$dir"; exit 1; }
  cat >"$dir/cli/unchecked.cpp" <<'EOF'
void WINAPI Hook(LPCWSTR);
void Install() { Replace("kernel32.dll", "OutputDebugStringW", reinterpret_cast<void*>(&Hook)); }
void Subclass(HWND h) { SetWindowLongPtrW(h, GWLP_WNDPROC, (LONG_PTR)BadProc); }
EOF
  out="$(check "$dir")" && { echo "FAIL: unchecked casts were not reported"; exit 1; }
  for want in "cli/unchecked.cpp:2: Hook" "cli/unchecked.cpp:3: BadProc"; do
    grep -qxF "$want" <<<"$out" || { echo "FAIL: \"$want\" not reported in:"; echo "$out"; exit 1; }
  done
  [ "$(grep -c '^cli/' <<<"$out")" -eq 2 ] || { echo "FAIL: more than the two unchecked casts reported:"; echo "$out"; exit 1; }
  echo "PASS: unchecked casts reported, checked ones and the POSIX platform left alone"
  exit 0
fi

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 SOURCE_DIR | --self-test" >&2
  exit 2
fi
check "$(cd "$1" && pwd)"
