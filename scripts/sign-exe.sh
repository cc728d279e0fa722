#!/usr/bin/env bash
# Signs a Windows exe with Authenticode: an SHA-256 signature by osslsigncode, and with
# --timestamp a time stamp from that RFC 3161 server, so the signature outlives the certificate.
#
#   scripts/sign-exe.sh IN OUT --sign CERT.pfx [--timestamp URL]
#   scripts/sign-exe.sh IN OUT --sign-cert CERT.pem --sign-key KEY.pem [--timestamp URL]
#
# The password of the PKCS#12 file or the key comes from the environment variable
# VELM_SIGN_PASSWORD (unset: a key without one). It reaches osslsigncode through a pipe
# (-readpass /dev/fd/N), never on a command line, where any user of the machine could read it.
set -euo pipefail

usage() {
  sed -n '5,6p' "$0" | sed 's/^#   //' >&2
  exit 2
}

[ $# -ge 2 ] || usage
in=$1
out=$2
shift 2
pfx=""
cert=""
key=""
timestamp=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --sign) pfx=$2 ;;
    --sign-cert) cert=$2 ;;
    --sign-key) key=$2 ;;
    --timestamp) timestamp=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$pfx" ]; then
  [ -z "$cert$key" ] || { echo "sign-exe.sh: give --sign or --sign-cert/--sign-key, not both" >&2; exit 2; }
  credentials=(-pkcs12 "$pfx")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  credentials=(-certs "$cert" -key "$key")
else
  usage
fi
command -v osslsigncode >/dev/null ||
  { echo "sign-exe.sh: osslsigncode is not installed (scripts/install-deps.sh)" >&2; exit 1; }

options=(-h sha256 -n "Velm Co-op")
[ -z "$timestamp" ] || options+=(-ts "$timestamp")
rm -f "$out"
if [ -n "${VELM_SIGN_PASSWORD+set}" ]; then
  # printf is a shell builtin: the password is in no process's argument list.
  osslsigncode sign "${credentials[@]}" -readpass <(printf '%s' "$VELM_SIGN_PASSWORD") \
    "${options[@]}" -in "$in" -out "$out" >/dev/null
else
  osslsigncode sign "${credentials[@]}" "${options[@]}" -in "$in" -out "$out" >/dev/null
fi
