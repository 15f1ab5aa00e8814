#!/usr/bin/env bash
# Makes the test portal's certificates into the folder given as the argument: a test CA, a server certificate for
# 127.0.0.1 and localhost signed by it, and a separate self-signed certificate for a device. Never committed.
set -euo pipefail
out="$1"
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Lumenbridge Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null

openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=127.0.0.1" \
    -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
cat > "$work/server.ext" <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
openssl x509 -req -sha256 -days 3650 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=device" \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$work/device.key" -out "$work/device.pem" 2>/dev/null

for name in ca.pem server.pem server.key device.pem device.key; do
    cp "$work/$name" "$out/$name"
done
# The CA's key is not kept: nothing else is ever signed with it.
