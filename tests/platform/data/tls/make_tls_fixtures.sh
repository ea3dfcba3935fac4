#!/bin/sh
# Writes the TLS test fixtures next to this script: for "good" and "wrong-name", a P-256 CA
# (ca.pem) and a server certificate it signed (server.pem, server-key.pem), valid for a century.
# "good" names 127.0.0.1 and localhost; "wrong-name" names another host only.
set -eu
cd "$(dirname "$0")"
make() {
  dir=$1 names=$2
  mkdir -p "$dir"
  tmp=$(mktemp -d)
  openssl ecparam -name prime256v1 -genkey -noout -out "$tmp/ca-key.pem"
  openssl ecparam -name prime256v1 -genkey -noout -out "$tmp/key.pem"
  openssl pkcs8 -topk8 -nocrypt -in "$tmp/key.pem" -out "$dir/server-key.pem"
  openssl req -x509 -new -key "$tmp/ca-key.pem" -sha256 -days 36500 -set_serial 1 -subj "/CN=Velqo Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" -out "$dir/ca.pem"
  openssl req -new -key "$dir/server-key.pem" -subj "/CN=velqo test server" -out "$tmp/server.csr"
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" "authorityKeyIdentifier=keyid:always" "subjectAltName=$names" > "$tmp/ext.cnf"
  openssl x509 -req -in "$tmp/server.csr" -CA "$dir/ca.pem" -CAkey "$tmp/ca-key.pem" -set_serial 2 \
    -days 36500 -sha256 -extfile "$tmp/ext.cnf" -out "$dir/server.pem"
  rm -r "$tmp"
}
make good "IP:127.0.0.1,DNS:localhost"
make wrong-name "DNS:other.invalid"
