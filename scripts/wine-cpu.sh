# Sourced by the scripts that measure a program's CPU under Wine
# (scripts/bench-windows.sh, tests/windows/cli_receive_wait.sh).

# ticks PID: utime + stime of a process in clock ticks (fields 14 and 15 of
# its stat line, counted after the command name, which may hold spaces);
# 0 when it is gone.
ticks() {
  local line
  line="$(cat "/proc/$1/stat" 2>/dev/null)" || { echo 0; return; }
  line="${line##*) }"
  set -- $line
  echo $(( ${12} + ${13} ))
}

# wineserver_pid PREFIX: the wineserver of the prefix. It works in a
# directory named server-DEV-INODE after the prefix directory, under a
# temporary directory of its own (several prefixes may have servers at once).
wineserver_pid() {
  local name pid
  name="$(printf 'server-%x-%x' "$(stat -c %d "$1")" "$(stat -c %i "$1")")"
  for pid in $(pgrep -x wineserver) $(pgrep -x wineserver64) $(pgrep -x wineserver32); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
      */"$name") echo "$pid"; return ;;
    esac
  done
}
