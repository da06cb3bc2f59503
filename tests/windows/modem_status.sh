# Sourced by the Windows test scripts that run a case on the watcher's event
# path: modem_status_preload DIR builds modem_status_preload.c for the host
# into DIR and preloads it into every Wine program started afterwards (the
# file says why). Fails the script when it cannot be built.
modem_status_preload() {
  local here library
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  library="$1/modem_status_preload.so"
  "${CC:-cc}" -shared -fPIC -O2 -o "$library" "$here/modem_status_preload.c" -ldl \
    || { echo "FAIL: modem_status_preload.c did not build"; exit 1; }
  export LD_PRELOAD="$library${LD_PRELOAD:+:$LD_PRELOAD}"
}
