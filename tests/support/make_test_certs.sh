#!/usr/bin/env bash
# Makes a throw-away CA and a server certificate for 127.0.0.1 / localhost signed by it.
# Usage: make_test_certs.sh DIR
# Writes DIR/ca.pem (trust this), DIR/ca.key, DIR/server.pem, DIR/server.key (give these to
# arraysim --cert/--key), DIR/other-ca.pem (a CA that did not sign the server: must fail) and
# DIR/pin.txt (the server key's pin as a credentials entry's pinnedPublicKey takes it).
set -euo pipefail
dir=${1:?usage: make_test_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=arraysim test CA" \
  -keyout ca.key -out ca.pem -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=other CA" \
  -keyout other-ca.key -out other-ca.pem 2>/dev/null
openssl x509 -in server.pem -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | openssl base64 -A | sed 's|^|sha256//|' > pin.txt
rm -f server.csr server.ext ca.srl
