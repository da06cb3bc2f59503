#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own build directory:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#   wine-run.sh --can-run PROGRAM.exe    exit 0 if it can run here, 77 if not
# CTest uses it as the cross-compiling emulator of the Windows presets; the
# Windows test scripts use it too.
#
# - The prefix is made once, without Mono or Gecko (nothing here needs them),
#   under a lock, since CTest starts several programs at once.
# - wineserver is started by us with -p5, so that it stays for the next test
#   instead of starting again for each one, and its stderr goes to a log: when
#   a pty master closes it prints thousands of lines.
# - Wine's own messages are off (WINEDEBUG=-all, or VANTREL_WINEDEBUG); the
#   program's output is left as it is.
# - A new prefix draws no windows (Wine's null display driver), so that the
#   programs and their tests run without an X server. A prefix made with
#   VANTREL_WINE_GRAPHICS=x11 uses the X display instead (the screenshot test).
# - A 32-bit program needs Wine's 32-bit loader, a 32-bit Linux program.
#   Where the kernel cannot run those, the program cannot run at all: this
#   says so on stderr and exits with 77, which the tests report as skipped
#   (without the loader such a program would "succeed" printing nothing).
set -euo pipefail
can_run_only=0
if [ "${1:-}" = "--can-run" ]; then
  can_run_only=1
  set -- /nonexistent "${2:-}"
fi
if [ $# -lt 2 ]; then
  echo "usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
prefix="$1"
shift
program="$1"

export WINEPREFIX="$prefix"
export WINEDEBUG="${VANTREL_WINEDEBUG:--all}"
# winemenubuilder would copy the Start menu an installer makes into the
# machine's own menus (~/.local/share/applications).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# A 64-bit prefix runs both the 32-bit and the 64-bit programs.
export WINEARCH=win64

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32
if [ ! -x "$wine64" ] || [ ! -x "$server" ]; then
  echo "wine-run.sh: Wine is not installed (wine64, wine32:i386)" >&2
  exit 77
fi

# The PE machine field: 0x014c is a 32-bit x86 program, 0x8664 a 64-bit one.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 0
  od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
wine32_runs() { [ -x "$wine32" ] && "$wine32" --version >/dev/null 2>&1; }

loader="$wine64"
if [ -f "$program" ] && [ "$(pe_machine "$program")" = "014c" ]; then
  if ! wine32_runs; then
    echo "wine-run.sh: cannot run the 32-bit program $program: Wine's 32-bit loader does not run here" \
         "(wine32:i386 missing, or the kernel runs no 32-bit Linux programs)" >&2
    exit 77
  fi
  loader="$wine32"
fi
export WINELOADER="$loader"
[ $can_run_only -eq 1 ] && exit 0

mkdir -p "$(dirname "$prefix")"
log="$(dirname "$prefix")/wineserver.log"
(
  flock 9
  # When a server already serves the prefix this one says so (in the log)
  # and leaves. A new server starts Wine's own background processes with the
  # first program; they live as long as the server and would hold that
  # program's stdout and stderr open, so that whoever reads them (CTest)
  # would wait for the server to leave: start them here, on the log. None
  # of them may keep the lock's descriptor (9), or the lock would be held
  # as long as the server lives.
  if "$server" -p5 </dev/null >/dev/null 2>>"$log" 9>&-; then
    fresh_server=1
  else
    fresh_server=0
  fi
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine64" wineboot.exe -i >>"$log" 2>&1 9>&-
    if [ "${VANTREL_WINE_GRAPHICS:-null}" = null ]; then
      "$wine64" reg.exe add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 9>&-
    fi
    fresh_server=1
  fi
  if [ "$fresh_server" = 1 ]; then
    "$wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>>"$log" 9>&- || true
  fi
) 9>"$prefix.lock"

exec "$loader" "$@"
