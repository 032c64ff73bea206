#!/bin/sh
# Makes the certificates for the local HTTPS update server:
#   make_test_certs.sh OUTDIR
# OUTDIR gets ca.key, ca.pem, ca.der (the test CA, DER for the Windows
# certificate store) and server.key, server.pem (CN "localhost", SAN
# "localhost" and "vm").
# Both certificates start one day in the past, so a client whose clock lags
# a little still accepts them. Does nothing when all files already exist and
# the server certificate has every name; a set from before a name was added
# is made again whole.
set -eu

# "vm" is this machine image's host name, which its /etc/hosts maps to
# 127.0.0.1: a second name for a redirect to another host. WinINet under
# Wine checks names only, never IP addresses.
san="DNS:localhost, DNS:vm"

if [ $# -ne 1 ]; then
    echo "usage: make_test_certs.sh OUTDIR" >&2
    exit 2
fi
out=$1
files="ca.key ca.pem ca.der server.key server.pem"

have_all() {
    for f in $files; do
        [ -s "$out/$f" ] || return 1
    done
    openssl x509 -in "$out/server.pem" -noout -ext subjectAltName 2>/dev/null |
        grep -qxF "    $san"
}

have_all && exit 0
mkdir -p "$out"

# Test runs may start in parallel: one of them makes the files, the others
# wait for it and then find everything in place.
if command -v flock >/dev/null 2>&1; then
    exec 9<"$out"
    flock 9
    have_all && exit 0
fi

work=$(mktemp -d "$out/.make_test_certs.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/openssl.log

run() {
    if ! "$@" >>"$log" 2>&1; then
        echo "make_test_certs.sh: failed: $*" >&2
        cat "$log" >&2
        exit 1
    fi
}

# `openssl ca` is the one 3.0 tool that takes an explicit start date.
start=$(date -u -d '1 day ago' +%Y%m%d%H%M%SZ)
end=$(date -u -d '3652 days' +%Y%m%d%H%M%SZ)

mkdir "$work/db"
: >"$work/db/index.txt"
cat >"$work/ca.cnf" <<EOF
[ ca ]
default_ca = test_ca

[ test_ca ]
dir = $work/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none

[ policy_any ]
commonName = supplied

[ req ]
distinguished_name = req_dn
prompt = no

[ req_dn ]
CN = unused

[ ext_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ ext_server ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $san
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

run openssl genrsa -out "$work/ca.key" 2048
run openssl req -new -config "$work/ca.cnf" -key "$work/ca.key" \
    -subj "/CN=Vorn Launcher Test CA" -out "$work/ca.csr"
run openssl ca -batch -notext -config "$work/ca.cnf" -selfsign \
    -keyfile "$work/ca.key" -in "$work/ca.csr" -out "$work/ca.pem" \
    -extensions ext_ca -rand_serial -startdate "$start" -enddate "$end" \
    -subj "/CN=Vorn Launcher Test CA"
run openssl x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"

run openssl genrsa -out "$work/server.key" 2048
run openssl req -new -config "$work/ca.cnf" -key "$work/server.key" \
    -subj "/CN=localhost" -out "$work/server.csr"
run openssl ca -batch -notext -config "$work/ca.cnf" \
    -cert "$work/ca.pem" -keyfile "$work/ca.key" \
    -in "$work/server.csr" -out "$work/server.pem" \
    -extensions ext_server -rand_serial -startdate "$start" -enddate "$end" \
    -subj "/CN=localhost"
run openssl verify -CAfile "$work/ca.pem" "$work/server.pem"

# The server certificate goes last: a reader that sees it sees the rest too.
for f in ca.key ca.pem ca.der server.key server.pem; do
    mv -f "$work/$f" "$out/$f"
done
