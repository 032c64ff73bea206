#!/bin/sh
# Programs signed with Authenticode by two studios, for the signer checks:
#   sign_test_programs.sh OUTDIR CERTDIR BINDIR
# Code-signing certificates "Vorn Test Studio A" and "B" are issued by the
# test CA of CERTDIR (trusted in the tests' Wine prefix); OUTDIR gets
# unsigned.exe, a1.exe and a2.exe (two programs signed by A), b.exe (signed
# by B) and tampered.exe (a2.exe with one byte of its code changed).
set -eu
out=$1
certs=$2
bin=$3
rm -rf "$out"
mkdir -p "$out"
printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$out/ext.cnf"
for studio in A B; do
    openssl req -newkey rsa:2048 -nodes -keyout "$out/$studio.key" -out "$out/$studio.csr" \
        -subj "/CN=Vorn Test Studio $studio" 2>/dev/null
    openssl x509 -req -in "$out/$studio.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
        -CAcreateserial -CAserial "$out/ca.srl" -out "$out/$studio.pem" -days 30 \
        -extfile "$out/ext.cnf" 2>/dev/null
    cat "$out/$studio.pem" "$certs/ca.pem" >"$out/$studio-chain.pem"
done
sign() {
    osslsigncode sign -certs "$out/$1-chain.pem" -key "$out/$1.key" -h sha256 -in "$2" \
        -out "$out/$3" >/dev/null
}
cp "$bin/exit_with.exe" "$out/unsigned.exe"
sign A "$bin/exit_with.exe" a1.exe
sign A "$bin/record_args.exe" a2.exe
sign B "$bin/record_args.exe" b.exe
python3 -c "
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[0x400] ^= 0xFF
open(sys.argv[2], 'wb').write(data)" "$out/a2.exe" "$out/tampered.exe"
