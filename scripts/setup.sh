#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmark need.
# Idempotent: asks apt only for what is missing. Run as root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  libboost-dev libpugixml-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  libc++-dev libc++abi-dev
  python3 python3-pytest curl util-linux iproute2 strace
  nginx-light
  python3-suds python3-selenium chromium chromium-driver
  # The Debian packages, their lintian check and the systemd unit's (systemd-analyze, man).
  debhelper dpkg-dev fakeroot lintian systemd man-db
)
# Node.js may come from another source with its own npm; Debian's packages only when it is missing.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # nginx is only for the benchmark and the tests, which start their own: keep the package's
  # service from starting on install, and from starting at boot afterwards.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if printf '%s\n' "${missing[@]}" | grep -qx nginx-light; then
    if command -v systemctl >/dev/null; then systemctl disable --quiet nginx.service 2>/dev/null || true; fi
    if command -v update-rc.d >/dev/null; then update-rc.d nginx disable >/dev/null 2>&1 || true; fi
  fi
fi

# The JavaScript SOAP example's packages, exactly as locked; again only when the lock changed.
js_example="$(cd "$(dirname "$0")/.." && pwd)/examples/js"
if [ ! -e "$js_example/node_modules/.package-lock.json" ] ||
   [ "$js_example/package-lock.json" -nt "$js_example/node_modules/.package-lock.json" ]; then
  (cd "$js_example" && npm ci --no-audit --no-fund --prefer-offline --loglevel=error)
fi
