#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when it is missing.
set -euo pipefail
pkgs=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev
      libfbclient2 firebird-dev firebird3.0-server-core firebird3.0-utils
      libxml2-dev zlib1g-dev libmd-dev uuid-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine has no package lists yet.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ] || ! apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi
