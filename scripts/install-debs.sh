#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing (as root).
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
