#!/bin/bash
# Makes the test-signing key and certificate this folder holds: a new RSA
# key and a self-signed code-signing certificate valid from 2000-01-01 to
# 2099-12-31, so that the build's fixed signing time (2000-01-01) lies inside
# it. Run it only to replace them; the build signs with what is here, so
# that the same sources give the same signed image. Needs openssl.
set -euo pipefail
cd "$(dirname "$0")"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/index.txt"
cat > "$scratch/ca.cnf" <<'CONFIG'
[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
copy_extensions = none
x509_extensions = code_signing
unique_subject = no
[anything]
commonName = supplied
organizationName = optional
[req]
distinguished_name = name
prompt = no
[name]
commonName = Quarnhold Test Signing - TEST ONLY
organizationName = Quarnhold test builds (key published, trust nothing it signs)
[code_signing]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CONFIG
echo 51a3c0de0000000000000001 > "$scratch/serial"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$scratch/key.pem" 2>/dev/null
openssl req -new -config "$scratch/ca.cnf" -key "$scratch/key.pem" -out "$scratch/request.pem"
(cd "$scratch" && openssl ca -batch -selfsign -config ca.cnf -keyfile key.pem -in request.pem -out cert.pem \
    -startdate 20000101000000Z -enddate 20991231235959Z -notext 2>/dev/null)
openssl x509 -in "$scratch/cert.pem" -outform DER -out quarnhold.cer

{
    echo "THIS PRIVATE KEY IS PUBLISHED ON PURPOSE. It test-signs Quarnhold's amd64 image,"
    echo "which 64-bit Windows loads only in test mode; anyone can sign anything with it."
    echo "Never add its certificate to a machine you care about, and never use it for a release."
    echo
    cat "$scratch/key.pem"
} > quarnhold-test-signing.key
