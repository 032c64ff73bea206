#!/bin/sh
# Builds the launcher with the production settings into dist/, configured
# afresh each time with exactly the CMake flags of the CMAKE_FLAGS variable
# (for example -DVORN_SERVER_URL=...), and prints its size, SHA-256, imports
# and the version, addresses and update keys built into it. The same commit
# and flags give the same bytes. VORN_RELEASE_BUILD and VORN_RELEASE_DIST name
# other folders for the build and the result.
#
# Signing with Authenticode (osslsigncode): SIGN_CERT (PEM, the code-signing
# certificate and its chain) and SIGN_KEY (PEM); SIGN_TIMESTAMP_URL adds a
# timestamp from that server; SIGN_CA (default: the system's CA bundle) is
# what the signature is verified against afterwards.
set -eu
cd "$(dirname "$0")/.."
build=${VORN_RELEASE_BUILD:-build-release}
dist=${VORN_RELEASE_DIST:-dist}
# shellcheck disable=SC2086 # the flags are words for cmake
cmake --fresh -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" --target VornLauncher
mkdir -p "$dist"
rm -f "$dist/VornLauncher.exe"
if [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    # shellcheck disable=SC2046 # no timestamp option, or two words
    osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" -h sha256 -n "Vorn RPG Launcher" \
        $([ -z "${SIGN_TIMESTAMP_URL:-}" ] || echo "-ts $SIGN_TIMESTAMP_URL") \
        -in "$build/VornLauncher.exe" -out "$dist/VornLauncher.exe" >/dev/null
    if ! osslsigncode verify -CAfile "${SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}" \
        -in "$dist/VornLauncher.exe" >"$dist/signature.txt" 2>&1; then
        cat "$dist/signature.txt" >&2
        echo "release.sh: the signature of $dist/VornLauncher.exe does not verify" >&2
        exit 1
    fi
    echo "signed with $(openssl x509 -in "$SIGN_CERT" -noout -subject) and verified"
else
    cp "$build/VornLauncher.exe" "$dist/VornLauncher.exe"
    echo "UNSIGNED: give SIGN_CERT and SIGN_KEY to sign; unsigned, Windows warns every new player of an unknown publisher"
fi
(cd "$dist" && sha256sum VornLauncher.exe >VornLauncher.exe.sha256)
echo "$dist/VornLauncher.exe ($(stat -c %s "$dist/VornLauncher.exe") bytes)"
echo "SHA-256: $(cut -d' ' -f1 "$dist/VornLauncher.exe.sha256")"
x86_64-w64-mingw32-objdump -p "$dist/VornLauncher.exe" | sed -n 's/.*DLL Name: /imports /p'
python3 tools/built_ins.py "$dist/VornLauncher.exe"
