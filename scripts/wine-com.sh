# Sourced by the scripts that put the terminal simulator behind a Wine COM
# port (the Windows tests, scripts/bench-windows.sh).

# sim_behind_com PREFIX N LOG COMMAND...: starts COMMAND (the simulator and
# its arguments) in the background with its output in LOG, waits up to 5 s
# for the pty it makes, and links PREFIX's COMn to that pty. Sets sim_pid.
# Returns 1, with the simulator stopped, when no pty came.
sim_behind_com() {
  local prefix="$1" n="$2" log="$3" pty=""
  shift 3
  rm -f "$prefix/dosdevices/com$n"
  : >"$log"
  "$@" >"$log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    pty="$(sed -n 's/^port: //p' "$log" | head -n 1)"
    [ -n "$pty" ] && break
    sleep 0.05
  done
  if [ -z "$pty" ]; then
    kill "$sim_pid" 2>/dev/null
    return 1
  fi
  ln -s "$pty" "$prefix/dosdevices/com$n"
}
