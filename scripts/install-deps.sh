#!/usr/bin/env bash
# Installs, with apt-get, whichever of the named Debian packages are missing.
# Usage: scripts/install-deps.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index (seen: bookworm-security's i386 list) and apt-get
# update with it; the lists it did fetch still serve, and an install that needs the missing one
# fails on its own.
"${sudo[@]}" apt-get update -qq || echo "install-deps: apt-get update failed; trying the package lists there are" >&2
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
