#!/usr/bin/env bash
# Sets up, then builds and runs every test: the portability layer's stress suite under
# ThreadSanitizer, a short libFuzzer run of every fuzz harness, and the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer (last, so its summary closes the output).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/setup.sh
jobs="$(nproc)"

# 1. The portability layer's stress suite, under ThreadSanitizer.
build_tsan="$top/build-tsan"
cmake -S . -B "$build_tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON >/dev/null
cmake --build "$build_tsan" -j "$jobs"
(cd "$build_tsan" && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L stress)

# 2. A short libFuzzer run of every fuzz harness (clang), from the checked-in corpus:
#    a fixed number of inputs each, together under a minute.
build_fuzz="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build_fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON >/dev/null
cmake --build "$build_fuzz" -j "$jobs" --target fuzzers
scripts/fuzz.sh --build "$build_fuzz" --runs 100000 gateway
scripts/fuzz.sh --build "$build_fuzz" --runs 500000 base64
scripts/fuzz.sh --build "$build_fuzz" --runs 50000 request

# 2b. FreeBSD's C++ library: everything but the tests built with clang against libc++, which lacks
#     the extra includes that let code build with libstdc++ alone. Nothing of it is run.
build_libcxx="$top/build-libcxx"
CC=clang CXX=clang++ cmake -S . -B "$build_libcxx" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
  -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_libcxx" -j "$jobs"

# 3. Everything, under ASan and UBSan.
build="$top/build-sanitize"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600)
