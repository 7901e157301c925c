#!/usr/bin/env bash
# Sets up, builds a release build and runs the service in the foreground, verbose,
# on the bundled document root with the simulated Ixo device. Run as root.
# Extra arguments are passed to the service.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/setup.sh

# The socket file gets the group "www"; the service refuses to start without it.
getent group www >/dev/null || groupadd --system www

build="$top/build-release"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target IxoWebServerBSD

echo "Serving $top/docroot on /var/run/KvIxoWebService/kvixowebservice.sock (Ctrl-C to stop)."
echo "Diagnostics go to syslog (facility local0, identity IxoWebServer) and, on a terminal, to this screen too."
exec "$build/IxoWebserviceBSD/BSD/IxoWebServerBSD" -v -docroot "$top/docroot" "$@"
