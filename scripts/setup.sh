#!/usr/bin/env bash
# Installs whatever of scripts/packages.txt is missing (Debian, as root).
# With --fixtures, also the tools that regenerate the committed fixtures.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lists=("$here/packages.txt")
[ "${1:-}" = "--fixtures" ] && lists+=("$here/fixture-packages.txt")
mapfile -t wanted < <(cat "${lists[@]}" | grep -v '^\s*#' | grep -v '^\s*$')
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
