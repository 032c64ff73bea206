#!/bin/sh
# Builds the launcher with the production settings into dist/, with its
# SHA-256 beside it. Extra CMake flags (for example -DVORN_SERVER_URL=...)
# come from the CMAKE_FLAGS environment variable.
set -eu
cd "$(dirname "$0")/.."
build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" --target VornLauncher
mkdir -p dist
cp "$build/VornLauncher.exe" dist/VornLauncher.exe
(cd dist && sha256sum VornLauncher.exe >VornLauncher.exe.sha256)
echo "dist/VornLauncher.exe ($(stat -c %s dist/VornLauncher.exe) bytes)"
cat dist/VornLauncher.exe.sha256
x86_64-w64-mingw32-objdump -p dist/VornLauncher.exe | sed -n 's/.*DLL Name: /imports /p'
