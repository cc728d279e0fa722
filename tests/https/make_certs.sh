#!/bin/sh
# Makes a throwaway certificate authority and a server certificate signed by it, for the local
# HTTPS test server. Nothing here is ever trusted outside a test: run clients through
# run_with_ca.sh, which trusts ca.pem inside a private mount namespace only.
#
# Usage: make_certs.sh DIR [NAME ...]
#   DIR gets:  ca.pem       the CA certificate (hand it to run_with_ca.sh)
#              ca.key       the CA's private key
#              server.pem   the server certificate (for server.py --cert)
#              server.key   its private key (server.py --key)
#   The server certificate names localhost, 127.0.0.1 and ::1, plus each NAME given (a host
#   name, or an IPv4/IPv6 address). Existing files are kept when they cover the same names, so
#   repeated runs are cheap; delete DIR to start over.
#
# RSA 2048 and SHA-256, with the extensions that strict clients (WinHTTP's chain check under
# Wine, OpenSSL) insist on: a CA with basicConstraints CA:TRUE, a leaf for serverAuth.
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [NAME ...]" >&2
  exit 2
fi
dir=$1
shift

# The loopback addresses also appear as DNS names: Wine's certificate check compares a host
# given as an address with the DNS names only.
names="DNS:localhost,IP:127.0.0.1,IP:::1,DNS:127.0.0.1"
for name in "$@"; do
  case $name in
    *[!0-9.]*)
      case $name in
        *:*) names="$names,IP:$name" ;;
        *) names="$names,DNS:$name" ;;
      esac
      ;;
    *) names="$names,IP:$name" ;;
  esac
done

mkdir -p "$dir"
if [ -s "$dir/server.pem" ] && [ -s "$dir/server.key" ] && [ -s "$dir/ca.pem" ] &&
  [ "$(cat "$dir/names" 2>/dev/null)" = "$names" ] &&
  openssl x509 -in "$dir/server.pem" -noout -checkend 86400 >/dev/null 2>&1; then
  exit 0
fi

work=$(mktemp -d "$dir/.make_certs.XXXXXX")
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 \
  -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/O=Velm Co-op tests/CN=Velm Co-op throwaway test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "subjectKeyIdentifier=hash" 2>/dev/null

openssl req -new -newkey rsa:2048 -sha256 -nodes \
  -keyout "$work/server.key" -out "$work/server.csr" \
  -subj "/O=Velm Co-op tests/CN=localhost" 2>/dev/null

cat >"$work/server.ext" <<EOF
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$names
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EOF
openssl x509 -req -sha256 -days 825 -in "$work/server.csr" \
  -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial "0x$(openssl rand -hex 16)" \
  -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null

openssl verify -CAfile "$work/ca.pem" "$work/server.pem" >/dev/null
chmod 600 "$work/ca.key" "$work/server.key"
printf '%s' "$names" >"$work/names"
for file in ca.key ca.pem server.key server.pem names; do
  mv -f "$work/$file" "$dir/$file"
done
