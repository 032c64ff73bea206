#!/bin/sh
# Configures BUILD_DIR with exactly the given CMake flags: when the flags
# differ from those of the last configure, the folder is configured afresh,
# so that no setting of an earlier configure stays behind in CMake's cache.
#   tools/configure.sh BUILD_DIR [CMAKE_FLAGS]
set -eu
cd "$(dirname "$0")/.."
build=$1
flags=${2:-}
record=$build/.vorn-cmake-flags
if [ -f "$build/build.ninja" ] && [ -f "$record" ] && [ "$(cat "$record")" = "$flags" ]; then
    exit 0
fi
fresh=
if [ -f "$build/CMakeCache.txt" ]; then
    echo "CMAKE_FLAGS differ from the last configure of $build: configuring it afresh"
    fresh=--fresh
fi
# shellcheck disable=SC2086 # the flags are words for cmake
cmake $fresh -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release $flags
printf '%s' "$flags" >"$record"
