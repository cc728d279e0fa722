#!/bin/sh
# Starts server.py in the background and returns once it serves, so scripts need no sleeps.
#
# Usage: start_server.sh READY_FILE SERVER_ARG ...
#   SERVER_ARG are server.py's own options (--root, --cert, --key, --http-port, --log, ...);
#   --ready-file READY_FILE is added here. The server's standard error goes to READY_FILE.err.
#   On success prints the ready file (HTTPS_PORT=, HTTP_PORT=, PID= lines) and exits 0; the
#   server keeps running until `kill $PID`. Exits 1 when the server ends or is not ready
#   within 30 seconds, after showing its standard error.
#
# Example:
#   start_server.sh "$work/ready" --root "$work/site" --cert "$certs/server.pem" \
#     --key "$certs/server.key" --http-port 0 >/dev/null
#   . "$work/ready"; curl "https://localhost:$HTTPS_PORT/"; kill "$PID"
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 READY_FILE SERVER_ARG ..." >&2
  exit 2
fi
ready=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

rm -f "$ready"
python3 "$here/server.py" --ready-file "$ready" "$@" </dev/null >/dev/null 2>"$ready.err" &
server=$!

tries=0
while [ ! -s "$ready" ]; do
  if ! kill -0 "$server" 2>/dev/null || [ "$tries" -ge 300 ]; then
    echo "$0: the test server did not start:" >&2
    cat "$ready.err" >&2
    kill "$server" 2>/dev/null || true
    exit 1
  fi
  tries=$((tries + 1))
  sleep 0.1
done
cat "$ready"
