#!/usr/bin/env bash
# Installs the Debian packages (and, once the viewer needs them, npm packages)
# that building and testing need. As root it installs what is missing;
# otherwise it only says what is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
  [ -z "$pkg" ] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done < "$here/deb-packages.txt"
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
  else
    echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
  fi
fi
