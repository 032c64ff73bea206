#!/bin/sh
# Builds the launcher with the production settings into dist/, configured
# afresh each time with exactly the CMake flags of the CMAKE_FLAGS variable
# (for example -DVORN_SERVER_URL=...), and prints its size, SHA-256, imports
# and the addresses built into it. The same commit and flags give the same
# bytes. VORN_RELEASE_BUILD and VORN_RELEASE_DIST name other folders for the
# build and the result.
set -eu
cd "$(dirname "$0")/.."
build=${VORN_RELEASE_BUILD:-build-release}
dist=${VORN_RELEASE_DIST:-dist}
# shellcheck disable=SC2086 # the flags are words for cmake
cmake --fresh -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" --target VornLauncher
mkdir -p "$dist"
cp "$build/VornLauncher.exe" "$dist/VornLauncher.exe"
(cd "$dist" && sha256sum VornLauncher.exe >VornLauncher.exe.sha256)
echo "$dist/VornLauncher.exe ($(stat -c %s "$dist/VornLauncher.exe") bytes)"
echo "SHA-256: $(cut -d' ' -f1 "$dist/VornLauncher.exe.sha256")"
x86_64-w64-mingw32-objdump -p "$dist/VornLauncher.exe" | sed -n 's/.*DLL Name: /imports /p'
python3 tools/built_in_urls.py "$dist/VornLauncher.exe"
