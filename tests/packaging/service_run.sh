#!/bin/sh
# Inside sandbox.sh: the package installed as postinst installs it, the
# settings lines of SETTINGS added to /etc/default/vantrel-station, and the
# unit's ExecStart run as systemd runs it: as its User and Group with its
# SupplementaryGroups, no capabilities, in its WorkingDirectory, with the
# variables of its EnvironmentFile. The umockdev preload library the test
# runs under (VANTREL_PRELOAD) goes to the station alone. Then the log the
# settings name is copied to OUTDIR, which outlives the sandbox.
#
#   service_run.sh CONTROL_DIR SETTINGS OUTDIR
set -eu
control=$1
settings=$2
out=$3
unit=/lib/systemd/system/vantrel-station.service
value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }

sh "$control/postinst" configure
cat "$settings" >>/etc/default/vantrel-station
envfile=$(value EnvironmentFile)
envfile=${envfile#-}
cd "$(value WorkingDirectory)"
echo "service: ExecStart=$(value ExecStart) as $(value User):$(value Group)+$(value SupplementaryGroups)"
rc=0
env LD_PRELOAD="${VANTREL_PRELOAD:-}" \
  setpriv --reuid="$(value User)" --regid="$(value Group)" --groups="$(value SupplementaryGroups)" \
    --inh-caps=-all --bounding-set=-all \
    sh -c 'set -a; . "$1"; set +a; exec $2' sh "$envfile" "$(value ExecStart)" || rc=$?
. /etc/default/vantrel-station
cp "$LOG" "$out/runs.jsonl" 2>/dev/null || echo "service: no log at $LOG"
stat -c 'service: log owner %U:%G' "$LOG" 2>/dev/null || true
exit "$rc"
