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
#
# dist/ is changed only once everything has worked: the release is made in
# the build folder and moved in whole, or dist/ stays as it was and one last
# line on stderr says what failed and what to do.
set -eu
cd "$(dirname "$0")/.."
build=${VORN_RELEASE_BUILD:-build-release}
dist=${VORN_RELEASE_DIST:-dist}
staging=$build/release
system_ca=/etc/ssl/certs/ca-certificates.crt

# The compiler flags CMake would take from the environment on a fresh
# configure: the release is built with CMAKE_FLAGS and nothing else.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS CMAKE_BUILD_TYPE CMAKE_PREFIX_PATH \
    CMAKE_INCLUDE_PATH CMAKE_LIBRARY_PATH CMAKE_PROGRAM_PATH

step=configuring
reported=
fail() {
    reported=yes
    echo "release.sh: $*; $dist/ left as it was" >&2
    exit 1
}
finish() {
    status=$?
    rm -rf "$staging"
    if [ "$status" -ne 0 ] && [ -z "$reported" ]; then
        echo "release.sh: $step failed (exit status $status, see above); $dist/ left as it was" >&2
    fi
}
trap finish EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck disable=SC2086 # the flags are words for cmake
cmake --fresh -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release ${CMAKE_FLAGS:-} >/dev/null

# The addresses as configured, against the defaults of CMakeLists.txt.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
default() { sed -n "s/^set($1 \"\\([^\"]*\\)\".*/\\1/p" CMakeLists.txt; }
server=$(cached VORN_SERVER_URL)
community=$(cached VORN_COMMUNITY_URL)
case "$server" in
*/) fail "VORN_SERVER_URL=$server ends in a slash: the launcher would ask for" \
    "$server/Launcher/version.json; give it without the slash" ;;
esac
if [ "$server" != "$(default VORN_SERVER_URL)" ] &&
    [ "$community" = "$(default VORN_COMMUNITY_URL)" ]; then
    echo "release.sh: warning: the server is the studio's own ($server) but the community page" \
        "is still the default ($community), which the third button opens; give" \
        "-DVORN_COMMUNITY_URL=<the studio's page>" >&2
fi

step=building
cmake --build "$build" --target VornLauncher
rm -rf "$staging"
mkdir -p "$staging"
unsigned=$(sha256sum "$build/VornLauncher.exe" | cut -d' ' -f1)
if [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    step=signing
    # shellcheck disable=SC2046 # no timestamp option, or two words
    if ! osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" -h sha256 -n "Vorn RPG Launcher" \
        $([ -z "${SIGN_TIMESTAMP_URL:-}" ] || echo "-ts $SIGN_TIMESTAMP_URL") \
        -in "$build/VornLauncher.exe" -out "$staging/VornLauncher.exe" >"$build/signing.log" 2>&1
    then
        if [ -n "${SIGN_TIMESTAMP_URL:-}" ] && grep -qi "timestamp" "$build/signing.log"; then
            fail "signing failed: the timestamp server $SIGN_TIMESTAMP_URL did not answer" \
                "(osslsigncode's output: $build/signing.log); try again, or another timestamp" \
                "server; without SIGN_TIMESTAMP_URL the signature ends with the certificate"
        fi
        fail "osslsigncode could not sign with SIGN_CERT=$SIGN_CERT and SIGN_KEY=$SIGN_KEY" \
            "(its output: $build/signing.log); give the certificate's own key, in PEM"
    fi
    if ! osslsigncode verify -CAfile "${SIGN_CA:-$system_ca}" -in "$staging/VornLauncher.exe" \
        >"$build/verify.log" 2>&1; then
        if [ -z "${SIGN_CA:-}" ]; then
            fail "the signature does not verify against the system's CA bundle" \
                "(osslsigncode's output: $build/verify.log); for a certificate made by the" \
                "studio itself give SIGN_CA=<it or its CA>, though Windows will not trust it" \
                "either, or sign with a certificate from a code-signing CA"
        fi
        fail "the signature does not verify against SIGN_CA=$SIGN_CA (osslsigncode's output:" \
            "$build/verify.log); give the CA that issued SIGN_CERT"
    fi
    cp "$build/verify.log" "$staging/signature.txt"
    signed="signed with $(openssl x509 -in "$SIGN_CERT" -noout -subject) and verified"
    thumbprint=$(openssl x509 -in "$SIGN_CERT" -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :)
    signed="$signed; certificate thumbprint (SHA-1, as Windows shows it) $thumbprint"
    if [ "$(openssl x509 -in "$SIGN_CERT" -noout -subject | cut -d= -f2-)" = \
        "$(openssl x509 -in "$SIGN_CERT" -noout -issuer | cut -d= -f2-)" ]; then
        signed="$signed; SELF-SIGNED: Windows does not trust it and warns every player of an"
        signed="$signed unknown publisher, as for an unsigned exe; sign with a certificate"
        signed="$signed from a code-signing CA"
    fi
    if [ -z "${SIGN_TIMESTAMP_URL:-}" ]; then
        expires=$(openssl x509 -in "$SIGN_CERT" -noout -enddate | cut -d= -f2)
        signed="$signed; not timestamped: Windows takes the signature only until the"
        signed="$signed certificate expires ($expires), then warns of an unknown publisher"
        signed="$signed as for an unsigned exe; give SIGN_TIMESTAMP_URL to keep it valid"
    fi
else
    cp "$build/VornLauncher.exe" "$staging/VornLauncher.exe"
    signed="UNSIGNED: give SIGN_CERT and SIGN_KEY to sign; unsigned, Windows warns every new"
    signed="$signed player of an unknown publisher"
fi
(cd "$staging" && sha256sum VornLauncher.exe >VornLauncher.exe.sha256)

step="reading the addresses back from the exe"
if ! built_in=$(python3 tools/built_ins.py "$staging/VornLauncher.exe"); then
    fail "the built exe does not hold one server and one community address: $built_in"
fi

# Everything worked: into dist/, each file by a rename.
step="moving the release into $dist/"
mkdir -p "$dist"
for name in VornLauncher.exe VornLauncher.exe.sha256 signature.txt; do
    if [ -e "$staging/$name" ]; then
        mv -f "$staging/$name" "$dist/$name"
    else
        rm -f "$dist/$name"
    fi
done

echo "$signed"
echo "$dist/VornLauncher.exe ($(stat -c %s "$dist/VornLauncher.exe") bytes)"
echo "SHA-256: $(cut -d' ' -f1 "$dist/VornLauncher.exe.sha256")"
if [ -e "$dist/signature.txt" ]; then
    echo "unsigned SHA-256: $unsigned (each signing gives other bytes; osslsigncode" \
        "remove-signature gives these back: compare rebuilds with them)"
fi
x86_64-w64-mingw32-objdump -p "$dist/VornLauncher.exe" | sed -n 's/.*DLL Name: /imports /p'
echo "$built_in"
