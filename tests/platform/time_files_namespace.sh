#!/bin/sh
# Runs a test program with private copies of what it changes. Started by ctest through
# "unshare --mount --propagation private", so every mount below exists only in that new mount
# namespace and vanishes with it: a tmpfs over /tmp, and overlays with tmpfs upper layers over
# /etc and /usr/share/zoneinfo, so that writes land in memory and the real files stay as they
# are. /etc/localtime is a symbolic link: only an overlay of its whole directory keeps an
# unlink or rename of it away from the real one.
set -eu
# The program may live under /tmp itself (a build tree there): hold it open before the tmpfs hides it.
exec 3<"$1"
shift
mount -t tmpfs -o size=64m,mode=1777 kv-tmp /tmp
for layer in etc zoneinfo; do
    mkdir -p "/tmp/.kv-layers/$layer/upper" "/tmp/.kv-layers/$layer/work"
done
mount -t overlay kv-etc \
    -o lowerdir=/etc,upperdir=/tmp/.kv-layers/etc/upper,workdir=/tmp/.kv-layers/etc/work /etc
mount -t overlay kv-zoneinfo \
    -o lowerdir=/usr/share/zoneinfo,upperdir=/tmp/.kv-layers/zoneinfo/upper,workdir=/tmp/.kv-layers/zoneinfo/work \
    /usr/share/zoneinfo
exec /proc/self/fd/3 "$@"
