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

# The browser viewer's npm packages (three.js, built into the program, and
# playwright-core for the browser test), pinned in web/package.json. npm
# comes with Node.js; Debian's own npm package is only a fallback.
if [ ! -d "$here/../web/node_modules/three" ] || [ ! -d "$here/../web/node_modules/playwright-core" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then
      export DEBIAN_FRONTEND=noninteractive
      apt-get install -y -qq npm
    else
      echo "npm is missing (run as root to install it)" >&2
    fi
  fi
  if command -v npm >/dev/null 2>&1; then
    echo "installing the viewer's npm packages in web/"
    (cd "$here/../web" && npm install --no-package-lock --no-audit --no-fund)
  fi
fi
