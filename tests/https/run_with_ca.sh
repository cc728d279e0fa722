#!/bin/sh
# Runs a command that trusts an extra certificate authority, without touching the machine's
# trust store: inside a private mount namespace (unshare -m), a copy of the system bundle with
# the CA appended is bind-mounted over /etc/ssl/certs/ca-certificates.crt. libcurl/OpenSSL read
# that bundle, and so does Wine's crypt32 when it builds WinHTTP's root store, so the native
# launcher and the Windows one under Wine both trust the test server. The mount vanishes with
# the namespace when the command ends; nothing outside it ever sees the CA.
#
# Usage: run_with_ca.sh CA_PEM COMMAND [ARG ...]
#   Exits with the command's exit code. Needs root for unshare -m; other users get a user
#   namespace (unshare -rm) instead, where the command runs as a mapped root.
#
# Example:
#   tests/https/make_certs.sh /tmp/certs
#   tests/https/run_with_ca.sh /tmp/certs/ca.pem curl -s https://localhost:8443/games.json
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 CA_PEM COMMAND [ARG ...]" >&2
  exit 2
fi
ca=$1
shift
bundle_path=/etc/ssl/certs/ca-certificates.crt
if [ ! -s "$ca" ]; then
  echo "$0: no CA certificate at $ca" >&2
  exit 2
fi
# A bind mount needs a file to cover; creating one would change the real system.
if [ ! -f "$bundle_path" ]; then
  echo "$0: $bundle_path is missing (install ca-certificates)" >&2
  exit 2
fi

bundle=$(mktemp "${TMPDIR:-/tmp}/velm-ca-bundle.XXXXXX")
trap 'rm -f "$bundle"' EXIT
cat "$bundle_path" >"$bundle"
# The bundle may lack a final newline; PEM blocks must start on their own line.
printf '\n' >>"$bundle"
cat "$ca" >>"$bundle"
chmod 644 "$bundle"

if [ "$(id -u)" = 0 ]; then
  namespace="unshare --mount --propagation private"
else
  namespace="unshare --map-root-user --mount --propagation private"
fi

# The inner shell gets the bundle as $1 and the command as the rest; it mounts, then replaces
# itself with the command so signals and the exit code pass straight through.
status=0
$namespace sh -c '
  bundle=$1
  shift
  mount --bind "$bundle" /etc/ssl/certs/ca-certificates.crt || exit 125
  exec "$@"
' run_with_ca "$bundle" "$@" || status=$?
exit "$status"
