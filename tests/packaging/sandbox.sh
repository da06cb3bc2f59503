#!/usr/bin/env bash
# Runs a command as if the .deb were installed, without installing it: in a
# mount namespace of its own, the package's files lie over /usr and /etc,
# and /etc and /var are writable layers that vanish with the namespace, so
# the maintainer scripts can make their user and folders and the machine
# keeps none of it. Needs root (mounts); exits 77 (skipped) without.
#
#   sandbox.sh PACKAGE_ROOT COMMAND [ARGS...]
#
# PACKAGE_ROOT is the unpacked .deb (dpkg-deb -x). /tmp stays the machine's.
set -euo pipefail
if [ "${1:-}" != "--inside" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "sandbox.sh: needs root and mount namespaces (unshare -m): not run" >&2
    exit 77
  fi
  scratch=$(mktemp -d /tmp/vantrel-sandbox.XXXXXX)
  rc=0
  unshare -m --propagation private "$0" --inside "$scratch" "$@" || rc=$?
  rmdir "$scratch"
  exit "$rc"
fi
scratch=$2
root=$(cd "$3" && pwd)
shift 3
mount -t tmpfs -o mode=0755 tmpfs "$scratch"
mkdir -p "$scratch/etc/up" "$scratch/etc/work" "$scratch/var/up" "$scratch/var/work"
mount -t overlay overlay -o "lowerdir=$root/usr:/usr" /usr
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/etc/up,workdir=$scratch/etc/work" /etc
mount -t overlay overlay -o "lowerdir=/var,upperdir=$scratch/var/up,workdir=$scratch/var/work" /var
cp -a "$root/etc/." /etc/
exec "$@"
