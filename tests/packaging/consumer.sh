#!/usr/bin/env bash
# The portability layer as another project gets it: installs a build tree into a temporary
# prefix, then builds and runs examples/porting three ways: find_package(KvPlatformHelper) with
# CMAKE_PREFIX_PATH, one compiler command from pkg-config with PKG_CONFIG_PATH, and
# add_subdirectory of platform/ from a throwaway outside project. Each build must print "ok";
# none may see the project's own warning flags.
# Usage: tests/packaging/consumer.sh <build directory, built without sanitizers>
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
example="$top/examples/porting"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
# The installed package carries no warning flag of ours (KvBuildFlags).
if grep -rn -e '-W' -e KvBuildFlags "$work/prefix"/lib*/cmake/KvPlatformHelper "$work/prefix"/lib*/pkgconfig; then
  echo "consumer: the installed layer leaks the project's build flags" >&2; exit 1
fi

run() {  # run <way> <program>: the example in its own scratch directory must print "ok"
  mkdir -p "$work/run-$1"
  [ "$("$2" "$work/run-$1")" = ok ] || { echo "consumer: the $1 build failed its checks" >&2; exit 1; }
  echo "consumer: $1: ok"
}

# 1. A separate CMake project that finds the installed package.
cmake -S "$example" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
run find_package "$work/cmake/porting_example"

# 2. One compiler command, flags from pkg-config.
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/porting_example" "$example/porting_example.cpp" \
    $(PKG_CONFIG_PATH="$(echo "$work"/prefix/lib*/pkgconfig)" pkg-config --cflags --libs kvplatformhelper)
run pkg-config "$work/porting_example"

# 3. platform/ added to an outside project's own build; the project's warning flags stay out.
mkdir -p "$work/outside"
cat > "$work/outside/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.18)
project(Outside LANGUAGES CXX)
add_subdirectory("$top/platform" platform)
add_executable(porting_example "$example/porting_example.cpp")
target_link_libraries(porting_example PRIVATE KvPlatformHelper::KvPlatformHelper)
EOF
cmake -S "$work/outside" -B "$work/outside/build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$work/outside/build" >/dev/null
if grep -e '-Wshadow' -e '-Werror' "$work/outside/build/compile_commands.json"; then
  echo "consumer: the outside project got the project's warning flags" >&2; exit 1
fi
run add_subdirectory "$work/outside/build/porting_example"
