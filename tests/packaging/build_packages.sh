#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the checkout (its committed and untracked files,
# no build trees) with `dpkg-buildpackage -b -us -uc`, checks them with lintian (no error, no
# warning) and unpacks each with `dpkg-deb -x` into <out>/root, where the ctest test
# packaging.test_packages starts the packaged service. Nothing is installed on the machine.
# Usage: tests/packaging/build_packages.sh [out]   (default: build-packages in the checkout)
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
out="$(realpath -m "${1:-$top/build-packages}")"

# Every build dependency is one that scripts/setup.sh installs.
build_depends="$(sed -n '/^Build-Depends:/,/^[A-Z]/p' "$top/debian/control" | sed '$d' |
                 sed 's/^Build-Depends://; s/([^)]*)//g' | tr ',' '\n' | tr -d ' ' | sed '/^$/d')"
for dep in $build_depends; do
  [ "$dep" = debhelper-compat ] && dep=debhelper
  grep -qw -- "$dep" "$top/scripts/setup.sh" || { echo "build dependency $dep is not in scripts/setup.sh" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out/src"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -P -t "$out/src")
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -us -uc > "$out/build.log" 2>&1) ||
  { tail -40 "$out/build.log"; exit 1; }

debs=("$out"/*.deb)
echo "packages: ${debs[*]##*/}"
for name in kvixowebservice libkvixodll-sim libkvplatformhelper-dev; do
  ls "$out/${name}_"*.deb >/dev/null
done
# Lintian's errors and warnings fail the check; an override needs its reason beside it.
lintian --fail-on error,warning "$out"/*.changes

for deb in "${debs[@]}"; do
  case "$deb" in *-dbgsym_*) continue ;; esac
  dpkg-deb -x "$deb" "$out/root"
done
echo "unpacked into $out/root"
