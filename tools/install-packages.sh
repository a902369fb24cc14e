#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need; does nothing when all are there.
set -euo pipefail
cd "$(dirname "$0")"
mapfile -t packages < <(grep -v '^#' packages.txt | sed '/^$/d')
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
