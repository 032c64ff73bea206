#!/bin/sh
# Programs signed with Authenticode by two studios, for the signer checks:
#   sign_test_programs.sh OUTDIR CERTDIR BINDIR
# Code-signing certificates "Vorn Test Studio A" and "B" are issued by the
# test CA of CERTDIR (trusted in the tests' Wine prefix); OUTDIR gets
# unsigned.exe, a1.exe and a2.exe (two programs signed by A), b.exe (signed
# by B), tampered.exe (a2.exe with one byte of its code changed), and
# a_renewed.exe and a_otherca.exe (signed in A's name by a renewed
# certificate of the same CA, and by one of another CA).
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
# Studio A's name again: a renewal from the same CA (a new key), and a
# certificate from another CA (its own root, trusted in the prefix too, as
# its DER other-ca.der).
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$out/other-ca.key" -out "$out/other-ca.pem" \
    -subj "/CN=Vorn Test Other CA" -days 30 2>/dev/null
openssl x509 -in "$out/other-ca.pem" -outform DER -out "$out/other-ca.der"
for studio in Arenewed Aother; do
    openssl req -newkey rsa:2048 -nodes -keyout "$out/$studio.key" -out "$out/$studio.csr" \
        -subj "/CN=Vorn Test Studio A" 2>/dev/null
done
openssl x509 -req -in "$out/Arenewed.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
    -CAserial "$out/ca.srl" -out "$out/Arenewed.pem" -days 30 -extfile "$out/ext.cnf" 2>/dev/null
cat "$out/Arenewed.pem" "$certs/ca.pem" >"$out/Arenewed-chain.pem"
openssl x509 -req -in "$out/Aother.csr" -CA "$out/other-ca.pem" -CAkey "$out/other-ca.key" \
    -CAcreateserial -CAserial "$out/other-ca.srl" -out "$out/Aother.pem" -days 30 \
    -extfile "$out/ext.cnf" 2>/dev/null
cat "$out/Aother.pem" "$out/other-ca.pem" >"$out/Aother-chain.pem"
sign() {
    osslsigncode sign -certs "$out/$1-chain.pem" -key "$out/$1.key" -h sha256 -in "$2" \
        -out "$out/$3" >/dev/null
}
cp "$bin/exit_with.exe" "$out/unsigned.exe"
sign A "$bin/exit_with.exe" a1.exe
sign A "$bin/record_args.exe" a2.exe
sign B "$bin/record_args.exe" b.exe
sign Arenewed "$bin/record_args.exe" a_renewed.exe
sign Aother "$bin/record_args.exe" a_otherca.exe
python3 -c "
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[0x400] ^= 0xFF
open(sys.argv[2], 'wb').write(data)" "$out/a2.exe" "$out/tampered.exe"
