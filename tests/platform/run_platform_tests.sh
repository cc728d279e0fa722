#!/bin/sh
# Runs the platform tests against the local HTTPS server: makes the certificates and the site
# under WORK_DIR, starts the server, runs COMMAND trusting the test CA (inside a private mount
# namespace), and stops the server again.
#
# Usage: run_platform_tests.sh WORK_DIR COMMAND [ARG ...]
#   The command sees the server's ports in VELM_TEST_HTTPS_PORT and VELM_TEST_HTTP_PORT; its
#   standard input is /dev/null (Wine wants no console input). The server's request log is
#   WORK_DIR/requests.log, named in VELM_TEST_REQUEST_LOG.
#   Two more servers of the same site offer only some TLS versions: 1.0 and 1.1 on
#   VELM_TEST_OLD_TLS_PORT, 1.2 alone on VELM_TEST_TLS12_PORT; one more on
#   VELM_TEST_UNTRUSTED_PORT has a certificate from a CA that is not trusted; nginx serves the
#   site on VELM_TEST_H2_PORT offering HTTP/2 too, its access log (scripts/serve-nginx.sh) in
#   VELM_TEST_H2_LOG. openssl s_client checks first
#   that they do, or a client's refusal would prove nothing. The command runs with an OpenSSL
#   configuration that allows TLS 1.0 (as some systems' do), so that libcurl's refusal is the
#   launcher's own and not Debian's.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
https=$here/../https
work=$1
shift

mkdir -p "$work"
sh "$https/make_certs.sh" "$work/certs"
rm -rf "$work/site"
python3 "$here/make_site.py" "$work/site"
: >"$work/requests.log"

sh "$https/start_server.sh" "$work/ready" --root "$work/site" --faults "$work/faults.json" \
  --cert "$work/certs/server.pem" --key "$work/certs/server.key" --http-port 0 \
  --log "$work/requests.log" --exit-with $$ >/dev/null
. "$work/ready"
servers=$PID
trap 'kill $servers 2>/dev/null || true' EXIT
trap 'exit 143' INT TERM
export VELM_TEST_HTTPS_PORT="$HTTPS_PORT" VELM_TEST_HTTP_PORT="$HTTP_PORT"
export VELM_TEST_REQUEST_LOG="$work/requests.log"

# Lets this machine's OpenSSL speak TLS 1.0 and 1.1, for s_client here and libcurl in the tests.
cat >"$work/openssl-old-tls.cnf" <<'EOF'
openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_section
[ssl_section]
system_default = system_default_section
[system_default_section]
MinProtocol = TLSv1
CipherString = DEFAULT:@SECLEVEL=0
EOF
export OPENSSL_CONF="$work/openssl-old-tls.cnf"

for versions in 1.0-1.1 1.2; do
  sh "$https/start_server.sh" "$work/ready-$versions" --root "$work/site" --tls "$versions" \
    --cert "$work/certs/server.pem" --key "$work/certs/server.key" --exit-with $$ >/dev/null
  . "$work/ready-$versions"
  servers="$servers $PID"
  case $versions in
    1.0-1.1) export VELM_TEST_OLD_TLS_PORT="$HTTPS_PORT"; offered="tls1 tls1_1" ;;
    *) export VELM_TEST_TLS12_PORT="$HTTPS_PORT"; offered="tls1_2" ;;
  esac
  for version in tls1 tls1_1 tls1_2 tls1_3; do
    case " $offered " in *" $version "*) expected=yes ;; *) expected=no ;; esac
    got=no
    if openssl s_client -connect "127.0.0.1:$HTTPS_PORT" "-$version" </dev/null \
      >"$work/s_client.out" 2>&1; then
      got=yes
    fi
    if [ "$got" != "$expected" ]; then
      echo "$0: the server offering TLS $versions: a $version handshake succeeded: $got" >&2
      cat "$work/s_client.out" >&2
      exit 1
    fi
  done
done

# One more server of the same site whose certificate comes from another, untrusted CA: every
# client must refuse it.
sh "$https/make_certs.sh" "$work/untrusted-certs" >/dev/null
sh "$https/start_server.sh" "$work/ready-untrusted" --root "$work/site" \
  --cert "$work/untrusted-certs/server.pem" --key "$work/untrusted-certs/server.key" \
  --exit-with $$ >/dev/null
. "$work/ready-untrusted"
servers="$servers $PID"
export VELM_TEST_UNTRUSTED_PORT="$HTTPS_PORT"

# The site from nginx, which offers HTTP/2 as a CDN would (the test server speaks HTTP/1.1).
h2_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
rm -rf "$work/nginx"
bash -c '. "$1"; start_nginx "$2" "$3" "$4" "$5"' sh "$here/../../scripts/serve-nginx.sh" \
  "$work/nginx" "$h2_port" "$work/certs" "$work/site" >"$work/nginx.out" 2>&1 || {
  cat "$work/nginx.out" >&2
  exit 1
}
servers="$servers $(cat "$work/nginx/nginx.pid")"
export VELM_TEST_H2_PORT="$h2_port" VELM_TEST_H2_LOG="$work/nginx/logs/access.log"

status=0
sh "$https/run_with_ca.sh" "$work/certs/ca.pem" "$@" </dev/null || status=$?
exit "$status"
