# Sourced by scripts/demo.sh and bench/common.sh: serves a static tree over HTTPS with a private
# nginx (no system configuration, no root-owned paths).
#
# start_nginx WORK PORT CERTS ROOT [PLAIN_PORT]
#   Writes WORK/nginx.conf, starts nginx in the background on 127.0.0.1:PORT with
#   CERTS/server.pem and CERTS/server.key serving ROOT, and waits until it accepts connections.
#   With PLAIN_PORT it serves the same ROOT over plain HTTP on 127.0.0.1:PLAIN_PORT as well.
#   Sets nginx_pid; the caller stops it (kill "$nginx_pid"). Returns 1 when nginx does not start.
#   WORK/logs/access.log has one line per request:
#     $connection $connection_requests $status $body_bytes_sent $request
#   ($connection_requests is 1 on the first request of a connection: one line per connection.)
start_nginx() {
  local work=$1 port=$2 certs=$3 site=$4 plain=""
  [ -z "${5:-}" ] || plain="listen 127.0.0.1:$5;"
  mkdir -p "$work/logs" "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http {
  log_format velm '\$connection \$connection_requests \$status \$body_bytes_sent \$request';
  access_log $work/logs/access.log velm;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  types { application/json json; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port ssl http2;
    $plain
    server_name localhost;
    ssl_certificate $certs/server.pem;
    ssl_certificate_key $certs/server.key;
    root "$site";
  }
}
CONF
  if ! nginx -t -p "$work" -c "$work/nginx.conf" >/dev/null 2>&1; then
    nginx -t -p "$work" -c "$work/nginx.conf"
    return 1
  fi
  nginx -p "$work" -c "$work/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "nginx did not start:" >&2
  cat "$work/logs/error.log" >&2
  return 1
}
