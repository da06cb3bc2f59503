#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing.
#   ensure-packages.sh [--with-recommends] PACKAGE...
set -euo pipefail
recommends=(--no-install-recommends)
if [ "${1:-}" = "--with-recommends" ]; then
  recommends=()
  shift
fi
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# 32-bit packages (wine32:i386) need the architecture before the lists are read.
for pkg in "${missing[@]}"; do
  case "$pkg" in
    *:i386) dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
  esac
done
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
