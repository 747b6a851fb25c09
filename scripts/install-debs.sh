#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing (as root).
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # Wait for another apt run rather than fail on its lock.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
