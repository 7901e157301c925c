#!/usr/bin/env bash
# Sets up, then builds and runs every test: the portability layer's stress suite under
# ThreadSanitizer, a short libFuzzer run of every fuzz harness, the builds README.md shows with
# the installed layer and the Debian packages, and the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (last, so its summary closes the output). Warnings are errors in
# our own checks (KV_WERROR), never in the builds a user makes.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/setup.sh
jobs="$(nproc)"
# The same sources are compiled in seven configurations, and again on every run: ccache serves
# what did not change, also to another checkout of the tree.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
export CCACHE_DIR="${CCACHE_DIR:-${HOME:-/root}/.cache/ccache}"

# 1. The portability layer's stress suite, under ThreadSanitizer.
build_tsan="$top/build-tsan"
cmake -S . -B "$build_tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON -DKV_WERROR=ON >/dev/null
cmake --build "$build_tsan" -j "$jobs"
(cd "$build_tsan" && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L stress)

# 2. A short libFuzzer run of every fuzz harness (clang), from the checked-in corpus:
#    a fixed number of inputs each, together under a minute.
build_fuzz="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build_fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_WERROR=ON >/dev/null
cmake --build "$build_fuzz" -j "$jobs" --target fuzzers
scripts/fuzz.sh --build "$build_fuzz" --runs 100000 gateway
scripts/fuzz.sh --build "$build_fuzz" --runs 500000 base64
scripts/fuzz.sh --build "$build_fuzz" --runs 50000 request

# 2b. FreeBSD's C++ library: everything but the tests built with clang against libc++, which lacks
#     the extra includes that let code build with libstdc++ alone. Nothing of it is run.
build_libcxx="$top/build-libcxx"
CC=clang CXX=clang++ cmake -S . -B "$build_libcxx" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DKV_WERROR=ON \
  -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_libcxx" -j "$jobs"

# 3. The builds README.md shows, tests included, with warnings not fatal as a user gets them;
#    the layer installed from the Release build and linked by examples/porting three ways; the
#    Debian packages, checked by lintian and unpacked for ctest's packaging test (step 4).
#    Our check still allows them no warning.
for type in Release Debug; do
  cmake -S . -B "$top/build-${type,,}" -DCMAKE_BUILD_TYPE="$type" -DKV_WERROR=OFF >/dev/null
  cmake --build "$top/build-${type,,}" -j "$jobs" 2>&1 | tee "$top/build-${type,,}/build.log"
  if grep -n 'warning:' "$top/build-${type,,}/build.log"; then echo "the $type build warns" >&2; exit 1; fi
done
tests/packaging/consumer.sh "$top/build-release"
tests/packaging/build_packages.sh "$top/build-packages"

# 4. Everything, under ASan and UBSan.
build="$top/build-sanitize"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600)
