#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmark need.
# Idempotent: asks apt only for what is missing. Run as root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev libboost-system-dev libpugixml-dev
  libgtest-dev googletest
  python3 python3-pytest curl util-linux iproute2
  nginx-light
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # nginx is only for the benchmark; keep its service from starting on install.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
