#!/usr/bin/env python3
"""A local HTTP proxy that only tunnels (CONNECT), for tests of a client's proxy settings.

Logs the target of every request it is asked for, then for a CONNECT opens the target and passes
bytes both ways until either side closes. Anything else is answered 405: a client that sends an
https request through the proxy must tunnel it. Standard library only.

Usage:
  connect_proxy.py --log FILE [--port N] [--bind ADDR] [--ready-file FILE] [--exit-with PID]

  --port 0 (the default) picks a free port; --bind defaults to 127.0.0.1. --exit-with PID stops
  the proxy once that process is gone, so a killed test script leaves no proxy behind.

Ready file: written (atomically) once the proxy accepts connections, as shell-sourceable lines:
  PROXY_PORT=43125
  PID=12345

Log (--log): one line per request, flushed at once, written before the target is opened:
  <method> <target>          e.g. "CONNECT localhost:48443"
"""

import argparse
import os
import select
import socket
import socketserver
import sys
import threading
import time

from server import process_alive  # the test server beside this script

HEAD_LIMIT = 65536
CONNECT_TIMEOUT = 10  # seconds to reach the target
IDLE_TIMEOUT = 120  # a tunnel with no byte either way for this long is closed


class Log:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")
        self.lock = threading.Lock()

    def write(self, line):
        with self.lock:
            self.file.write(line + "\n")
            self.file.flush()


def read_head(client):
    """The request line and headers, up to the blank line, and any bytes that came after them;
    (None, b"") when the client closed or sent too much first."""
    data = b""
    while b"\r\n\r\n" not in data:
        if len(data) > HEAD_LIMIT:
            return None, b""
        piece = client.recv(4096)
        if not piece:
            return None, b""
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    return head.decode("latin-1"), rest


def split_host_port(target):
    """"host:port" or "[v6]:port" -> (host, port); None when it is not one."""
    host, colon, port = target.rpartition(":")
    if not colon or not port.isdigit() or not host:
        return None
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host, int(port)


def relay(client, upstream):
    """Copies bytes both ways until one side closes, then half-closes the other, so a reply in
    flight still reaches the client."""
    sockets = [client, upstream]
    peer = {client: upstream, upstream: client}
    open_for_reading = set(sockets)
    while open_for_reading:
        readable, _, _ = select.select(list(open_for_reading), [], [], IDLE_TIMEOUT)
        if not readable:
            return
        for source in readable:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if data:
                try:
                    peer[source].sendall(data)
                except OSError:
                    return
                continue
            open_for_reading.discard(source)
            try:
                peer[source].shutdown(socket.SHUT_WR)
            except OSError:
                pass


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        client.settimeout(CONNECT_TIMEOUT)
        head, early = read_head(client)
        if head is None:
            return
        request_line = head.split("\r\n", 1)[0]
        parts = request_line.split(" ")
        if len(parts) != 3:
            client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return
        method, target, _ = parts
        self.server.log.write("%s %s" % (method, target))
        if method != "CONNECT":
            client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nAllow: CONNECT\r\n"
                           b"Content-Length: 0\r\nConnection: close\r\n\r\n")
            return
        address = split_host_port(target)
        if address is None:
            client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return
        try:
            upstream = socket.create_connection(address, timeout=CONNECT_TIMEOUT)
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            client.settimeout(None)
            upstream.settimeout(None)
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if early:  # a client that did not wait for the answer
                upstream.sendall(early)
            relay(client, upstream)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, log):
        self.log = log
        super().__init__(address, Handler)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--log", required=True, help="one line per request")
    parser.add_argument("--port", type=int, default=0, help="0 for a free one")
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--ready-file", help="written with the port once listening")
    parser.add_argument("--exit-with", type=int, metavar="PID",
                        help="stop when this process is gone (a script that gets killed)")
    args = parser.parse_args(argv)

    server = Server((args.bind, args.port), Log(args.log))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    if args.ready_file:
        temporary = args.ready_file + ".tmp"
        with open(temporary, "w", encoding="utf-8") as f:
            f.write("PROXY_PORT=%d\nPID=%d\n" % (server.server_address[1], os.getpid()))
        os.replace(temporary, args.ready_file)
    try:
        while args.exit_with is None or process_alive(args.exit_with):
            time.sleep(1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
