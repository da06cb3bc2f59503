#!/usr/bin/env bash
# The station's service as the .deb installs it, in a sandbox (sandbox.sh):
# - `systemd-analyze verify` on the unit, and `systemd-analyze security`,
#   whose exposure must stay below 3.0 ("OK"); both read the unit file
#   offline, which works without systemd as init (as on this machine);
# - postinst makes the system user vantrel (group vantrel, in dialout, no
#   login) and its state and log folders, and does so again on an upgrade;
# - logrotate's rule rotates the log: the old file keeps its lines, a new
#   empty one belonging to vantrel takes its place;
# - postrm purge takes the user, the group and the folders away.
# The station run by the unit's command line is service_e2e_tests'.
#
#   service_test.sh DEB_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
debdir=$1

if [ "${2:-}" != "--inside" ]; then
  exec "$here/sandbox.sh" "$debdir/root" "$0" "$debdir" --inside
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
unit=/lib/systemd/system/vantrel-station.service
[ -f "$unit" ] || { echo "FAIL: no $unit in the package"; exit 1; }

# --- the unit ---------------------------------------------------------------------
if ! command -v systemd-analyze >/dev/null; then
  fail "systemd-analyze is not installed (scripts/packages.sh TEST_PACKAGES: systemd)"
else
  out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify says: $out"
  security=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)
  exposure=$(sed -n 's/.*Overall exposure level for vantrel-station.service: \([0-9.]*\) .*/\1/p' <<<"$security")
  echo "systemd-analyze security: exposure $exposure"
  [ -n "$exposure" ] || fail "no exposure in: $security"
  awk -v e="$exposure" 'BEGIN { exit !(e < 3.0) }' || fail "exposure $exposure is not below 3.0:
$(grep '✗' <<<"$security")"
fi
grep -qx 'ExecStart=/usr/libexec/vantrel/station-service' "$unit" || fail "ExecStart is not the wrapper"
grep -qx 'User=vantrel' "$unit" || fail "the unit does not run as vantrel"
grep -qx 'SupplementaryGroups=dialout' "$unit" || fail "the unit is not in dialout"
grep -qx 'EnvironmentFile=-/etc/default/vantrel-station' "$unit" || fail "the unit reads no settings"
grep -qx 'KillSignal=SIGTERM' "$unit" || fail "stopping is not SIGTERM"
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
[ -n "$stop" ] && [ "$stop" -gt 10 ] || fail "TimeoutStopSec=$stop leaves no room for the station's own 10 s"
grep -qx 'SuccessExitStatus=130' "$unit" || fail "a stop (exit 130) would count as a failure"
grep -v '^[[:space:]]*#' /etc/logrotate.d/vantrel-station | grep -qw copytruncate && fail "the logrotate rule copies and truncates (loses lines)"

# --- install ------------------------------------------------------------------------
postinst=$debdir/control/postinst
postrm=$debdir/control/postrm
getent passwd vantrel >/dev/null && fail "the machine already has a user vantrel"
sh "$postinst" configure || fail "postinst configure"
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd vantrel)
if [ -z "${uid:-}" ]; then
  fail "postinst made no user vantrel"
else
  [ "$uid" -lt 1000 ] || fail "vantrel is no system user (uid $uid)"
  [ "$(getent group vantrel | cut -d: -f3)" = "$gid" ] || fail "vantrel's group is not vantrel"
  [ "$home" = /var/lib/vantrel ] || fail "vantrel's home is $home"
  [[ "$shell" == */nologin || "$shell" == /bin/false ]] || fail "vantrel may log in ($shell)"
  id -nG vantrel | tr ' ' '\n' | grep -qx dialout || fail "vantrel is not in dialout: $(id -nG vantrel)"
  for dir in /var/lib/vantrel /var/log/vantrel; do
    [ "$(stat -c '%U:%G %a' "$dir" 2>&1)" = "vantrel:vantrel 750" ] || fail "$dir: $(stat -c '%U:%G %a' "$dir" 2>&1)"
  done
fi
sh "$postinst" configure || fail "postinst configure a second time (an upgrade)"
[ "$(getent passwd vantrel | cut -d: -f3)" = "$uid" ] || fail "an upgrade changed vantrel's uid"

# --- log rotation -----------------------------------------------------------------------
if ! command -v logrotate >/dev/null; then
  fail "logrotate is not installed (scripts/packages.sh TEST_PACKAGES)"
else
  log=/var/log/vantrel/runs.jsonl
  printf '{"run":1}\n{"run":2}\n' >"$log"
  chown vantrel:vantrel "$log"
  state=$(mktemp)
  logrotate -f -s "$state" /etc/logrotate.d/vantrel-station >"$state.out" 2>&1 || fail "logrotate: $(cat "$state.out")"
  [ "$(cat "$log.1" 2>&1)" = $'{"run":1}\n{"run":2}' ] || fail "the rotated log: $(cat "$log.1" 2>&1)"
  [ -f "$log" ] && [ ! -s "$log" ] || fail "no new empty log after rotation"
  [ "$(stat -c '%U:%G %a' "$log" 2>&1)" = "vantrel:vantrel 640" ] || fail "the new log: $(stat -c '%U:%G %a' "$log" 2>&1)"
  rm -f "$state" "$state.out"
fi

# --- remove and purge -----------------------------------------------------------------------
sh "$postrm" remove || fail "postrm remove"
getent passwd vantrel >/dev/null || fail "remove took the user away (only purge does)"
sh "$postrm" purge || fail "postrm purge"
getent passwd vantrel >/dev/null && fail "purge left the user vantrel"
getent group vantrel >/dev/null && fail "purge left the group vantrel"
getent group dialout | grep -q vantrel && fail "purge left vantrel in dialout"
[ ! -e /var/lib/vantrel ] || fail "purge left /var/lib/vantrel"
[ ! -e /var/log/vantrel ] || fail "purge left /var/log/vantrel"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all service checks passed"
