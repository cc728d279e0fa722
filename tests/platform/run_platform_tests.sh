#!/bin/sh
# Runs the platform tests against the local HTTPS server: makes the certificates and the site
# under WORK_DIR, starts the server, runs COMMAND trusting the test CA (inside a private mount
# namespace), and stops the server again.
#
# Usage: run_platform_tests.sh WORK_DIR COMMAND [ARG ...]
#   The command sees the server's ports in VELM_TEST_HTTPS_PORT and VELM_TEST_HTTP_PORT; its
#   standard input is /dev/null (Wine wants no console input). The server's request log is
#   WORK_DIR/requests.log.
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
trap 'kill "$PID" 2>/dev/null || true' EXIT
trap 'exit 143' INT TERM

export VELM_TEST_HTTPS_PORT="$HTTPS_PORT" VELM_TEST_HTTP_PORT="$HTTP_PORT"
status=0
sh "$https/run_with_ca.sh" "$work/certs/ca.pem" "$@" </dev/null || status=$?
exit "$status"
