#!/usr/bin/env python3
"""A local HTTPS (and optional plain HTTP) file server with faults on demand, for tests.

Serves the files below --root over HTTP/1.1 with keep-alive (one thread per connection), and
misbehaves for chosen paths so clients can be tested against broken servers. Standard library
only.

Usage:
  server.py --root DIR --cert server.pem --key server.key [--port N] [--http-port N]
            [--bind ADDR] [--faults FILE] [--fault PATH=JSON ...] [--ready-file FILE]
            [--log FILE] [--exit-with PID] [--tls VERSIONS] [--verbose]

  --port 0 (the default) and --http-port 0 pick a free port. Without --http-port there is no
  plain HTTP listener. --bind defaults to 127.0.0.1. --exit-with PID stops the server once
  that process is gone, so a killed test script leaves no server behind.
  --tls VERSIONS: the TLS versions offered, one ("1.2") or a range ("1.0-1.1"), of 1.0, 1.1,
  1.2 and 1.3; by default whatever Python's ssl offers (1.2 and 1.3 with OpenSSL 3). OpenSSL 3
  refuses 1.0 and 1.1 below security level 0, so a range that includes them lowers it.

Ready file: written (atomically) once both listeners accept connections, as shell-sourceable
lines, so a script can wait for it and then `. FILE`:
  HTTPS_PORT=43123
  HTTP_PORT=43124        (0 when there is no plain listener)
  PID=12345

Faults: a JSON object that maps a request path (URL-decoded, without the query) to a fault
object. Read from --faults (default: faults.json beside the root folder, ROOT/../faults.json,
when it exists) and re-read whenever the file changes, so a running test can change faults
between requests. --fault PATH=JSON adds or overrides one path.
  {"/games.json":   {"status": 500},
   "/big.bin":      {"cut_after": 1000},                 close after 1000 body bytes, although
                                                         Content-Length declares the full body
   "/rst.bin":      {"cut_after": 10, "cut_mode": "reset"},   the same with a TCP reset
   "/once.bin":     {"cut_after": 1000, "cut_times": 1},  the cut for the first request only
                                                         (counted anew whenever the faults
                                                         change); later ones are served whole
   "/extra.txt":    {"extra_bytes": 64},                 64 bytes more than declared (sent
                                                         with "Connection: close")
   "/long.bin":     {"declare_extra": 64},               a Content-Length 64 bytes past the
                                                         body, closed after the body
   "/chunks.bin":   {"chunked": true},                   sent chunked ("cut_after" then leaves
                                                         out the last chunk)
   "/slow.bin":     {"stall_after": 100, "stall_seconds": 5},  sleep mid-body, then go on
   "/drip.bin":     {"drip_bytes": 1, "drip_seconds": 25},  the body in pieces of 1 byte, each
                                                         after a 25 s pause: a body that never
                                                         pauses as long as a receive time-out
   "/gate.bin":     {"wait_for_file": "/tmp/go"},        hold the body back (at stall_after
                                                         bytes, 0 by default) until that file
                                                         exists, for at most stall_seconds (60
                                                         by default): a test lets it go on
   "/old.json":     {"redirect": "https://localhost:{https_port}/games.json", "status": 301},
   "/inline.txt":   {"body": "text served instead of a file", "status": 200},
   "/hdr.txt":      {"headers": {"Cache-Control": "no-store"}},   a list of values sends the
                                                         header once for each
   "/whole.bin":    {"ignore_range": true},              a Range request gets 200 and the whole
                                                         file, as from a server without ranges
   "/off.bin":      {"range_offset": 16},                the 206 starts 16 bytes after the byte
                                                         asked for (negative: before it), and
                                                         its Content-Range says so
   "/huge.json":    {"fill": 300000000, "prefix": "{\"a\": \""}}   a generated body of that many
                                                         bytes: the prefix, then blanks, never
                                                         held in memory
  A fault's status defaults to 302 with "redirect", else 200 when the file (or "body") exists,
  else 404. A non-200 status still sends the file as its body, so clients can be caught
  delivering the body of an error. Redirect targets expand {https_port}, {http_port}.
  cut_after and stall_after count the bytes of the body sent, a 206's included.

Ranges: a file that would be answered 200 honours "Range: bytes=N-" (and "bytes=N-M") with 206,
Content-Range "bytes N-LAST/SIZE" and the bytes from N on; a range that starts at or past the end
gets 416 with "Content-Range: bytes */SIZE". Any other Range header (several ranges, another
unit, a suffix range) is ignored: 200 with the whole file. Inline bodies, generated bodies and
the built-in routes ignore Range. A fault with "status": 206 and its own Content-Range in
"headers" sends exactly that, with the whole file or body.

Built-in routes:
  /__echo...     200, the body is the raw request target as received (path and query).
  /__headers...  200, the body is the request line and headers as received.
  /__conn...     200, the body is "<scheme> connection <id> request <n>": n is 1 on a new
                 connection, so tests can see keep-alive at work.

Request log (--log): one line per request, flushed at once:
  <https|http> <connection id> <new|reused> <status> <raw request target> <Range or -> <bytes>
where bytes counts the body bytes sent.
An absolute-form target ("https://host/path", which Wine's WinHTTP sends through a proxy) is
served, echoed and logged as its path and query.
"new" marks the first request of a connection: for https, a new TLS connection. A TLS
handshake that fails is logged as "https <id> handshake-failed - -".
"""

import argparse
import http.server
import itertools
import json
import mimetypes
import os
import posixpath
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import warnings

CHUNK = 65536
TLS_VERSIONS = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1,
                "1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


class Faults:
    """The fault table: the file's entries (re-read when it changes) plus the command line's."""

    def __init__(self, path, overrides):
        self.path = path
        self.overrides = overrides
        self.lock = threading.Lock()
        self.stamp = None
        self.from_file = {}
        self.cuts = {}  # request path -> requests cut so far under cut_times

    def lookup(self, request_path):
        with self.lock:
            self._reload()
            fault = self.overrides.get(request_path, self.from_file.get(request_path))
            fault = dict(fault) if fault else {}
            if "cut_times" in fault and "cut_after" in fault:
                done = self.cuts.get(request_path, 0)
                if done >= int(fault["cut_times"]):
                    del fault["cut_after"]
                else:
                    self.cuts[request_path] = done + 1
        return fault

    def _reload(self):
        if not self.path:
            return
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            self.stamp, self.from_file = None, {}
            return
        stamp = (info.st_mtime_ns, info.st_size, info.st_ino)
        if stamp == self.stamp:
            return
        self.cuts = {}
        try:
            with open(self.path, encoding="utf-8") as f:
                table = json.load(f)
        except (OSError, ValueError) as error:
            # A half-written file: keep the last good table and try again on the next request.
            print(f"server.py: cannot read {self.path}: {error}", file=sys.stderr)
            return
        if not isinstance(table, dict):
            print(f"server.py: {self.path} is not a JSON object", file=sys.stderr)
            return
        self.stamp, self.from_file = stamp, table


class RequestLog:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8") if path else None
        self.lock = threading.Lock()

    def write(self, *fields):
        if self.file is None:
            return
        with self.lock:
            self.file.write(" ".join(str(field) for field in fields) + "\n")
            self.file.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VelmTestServer/1"
    timeout = 120  # an idle keep-alive connection is dropped after this many seconds

    def setup(self):
        # A head and its body go out in two writes: without this the body of every small answer
        # waits for the client's delayed ACK of the head, some 40 ms.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server_state = self.server.state
        self.connection_id = next(self.server_state.connection_ids)
        self.requests_on_connection = 0
        self.tls_ok = True
        if self.server.tls_context is not None:
            # The handshake runs here, in the connection's own thread, so a slow or failing
            # client never blocks the listener.
            self.request.settimeout(self.timeout)
            try:
                self.request = self.server.tls_context.wrap_socket(self.request, server_side=True)
            except (OSError, ssl.SSLError) as error:
                # The failed wrap has closed the socket already.
                self.tls_ok = False
                self.server_state.log.write("https", self.connection_id, "handshake-failed", "-",
                                            "-")
                if self.server_state.verbose:
                    print(f"server.py: TLS handshake failed: {error}", file=sys.stderr)
                return
        super().setup()

    def handle(self):
        if not self.tls_ok:
            return
        try:
            super().handle()
        except (OSError, ssl.SSLError):
            pass  # the client went away; nothing to answer

    def finish(self):
        if not self.tls_ok:
            return
        try:
            super().finish()
        except (OSError, ssl.SSLError):
            pass
        try:
            self.request.close()
        except OSError:
            pass

    def log_message(self, format, *args):
        if self.server_state.verbose:
            super().log_message(format, *args)

    # --- requests -------------------------------------------------------------------------

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        self.path = origin_form(self.path)
        self.requests_on_connection += 1
        self.send_body = send_body
        self.status_sent = "-"
        self.body_sent = 0
        try:
            self.route()
        finally:
            self.server_state.log.write(
                self.server.scheme, self.connection_id,
                "new" if self.requests_on_connection == 1 else "reused", self.status_sent,
                self.path, "".join(self.headers.get("Range", "-").split()) or "-",
                self.body_sent)

    def route(self):
        raw_path = self.path.split("?", 1)[0]
        path = urllib.parse.unquote(raw_path)
        if path.startswith("/__echo"):
            return self.reply(200, self.path.encode("utf-8", "surrogateescape"))
        if path.startswith("/__headers"):
            head = self.requestline + "\r\n" + "".join(
                f"{name}: {value}\r\n" for name, value in self.headers.items())
            return self.reply(200, head.encode("latin-1", "replace"))
        if path.startswith("/__conn"):
            text = (f"{self.server.scheme} connection {self.connection_id} request "
                    f"{self.requests_on_connection}")
            return self.reply(200, text.encode())

        fault = self.server_state.faults.lookup(path)
        headers = dict(fault.get("headers", {}))
        if "redirect" in fault:
            target = str(fault["redirect"]).format(https_port=self.server_state.https_port,
                                                   http_port=self.server_state.http_port)
            headers["Location"] = target
            body = fault.get("body", f"moved to {target}\n").encode()
            return self.reply(int(fault.get("status", 302)), body, headers, fault)

        if "body" in fault:
            body = str(fault["body"]).encode()
            return self.reply(int(fault.get("status", 200)), body, headers, fault)

        if "fill" in fault:
            size = int(fault["fill"])
            source = _FillReader(str(fault.get("prefix", "")).encode(), size)
            return self.reply(int(fault.get("status", 200)), source, headers, fault, size)

        file_path = self.local_path(path)
        if file_path is None:
            status = int(fault.get("status", 404))
            return self.reply(status, b"not found\n", headers, fault)
        headers.setdefault("Content-Type",
                           mimetypes.guess_type(file_path)[0] or "application/octet-stream")
        with open(file_path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            status = int(fault.get("status", 200))
            wanted = self.requested_range(size)
            if status != 200 or wanted is None or fault.get("ignore_range"):
                return self.reply(status, f, headers, fault, size)
            first, last = wanted
            if first >= size:
                headers["Content-Range"] = f"bytes */{size}"
                return self.reply(416, b"range not satisfiable\n", headers, fault)
            # A server that answers another range than the one asked for.
            first = min(max(first + int(fault.get("range_offset", 0)), 0), size - 1)
            last = max(last, first)
            headers["Content-Range"] = f"bytes {first}-{last}/{size}"
            f.seek(first)
            self.reply(206, f, headers, fault, last + 1 - first)

    def requested_range(self, size):
        """(first, last) of a "Range: bytes=N-" or "bytes=N-M" header, last clipped to the file;
        None without one, or for a form this server does not serve."""
        value = self.headers.get("Range")
        if value is None:
            return None
        unit, _, span = value.strip().partition("=")
        first, dash, last = span.strip().partition("-")
        if unit.strip().lower() != "bytes" or not dash or not first.isdigit():
            return None
        if last and (not last.isdigit() or int(last) < int(first)):
            return None
        return int(first), min(int(last), size - 1) if last else size - 1

    def local_path(self, path):
        """The file below the root that the path names, or None. Never leaves the root."""
        clean = posixpath.normpath(path)
        if "\0" in clean or not clean.startswith("/"):
            return None
        parts = [part for part in clean.split("/") if part]
        if any(part in (".", "..") for part in parts):
            return None
        local = os.path.join(self.server_state.root, *parts)
        if os.path.isdir(local):
            local = os.path.join(local, "index.html")
        return local if os.path.isfile(local) else None

    # --- the answer, with its faults ------------------------------------------------------

    def reply(self, status, body, headers=None, fault=None, size=None):
        """Sends the head and a body (bytes or a file object of the given size)."""
        fault = fault or {}
        if isinstance(body, bytes):
            size = len(body)
            source = _BytesReader(body)
        else:
            source = body
        self.send_response(status)
        self.status_sent = status
        for name, value in (headers or {}).items():
            for one in value if isinstance(value, list) else [value]:
                self.send_header(name, one)
        bodiless = status < 200 or status in (204, 304)  # these never carry a body
        chunked = bool(fault.get("chunked")) and not bodiless
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif not bodiless:
            self.send_header("Content-Length", str(size + int(fault.get("declare_extra", 0))))
        if fault.get("extra_bytes"):
            # Announced, so that no client reuses a connection whose stream is out of step:
            # the surplus would be read as the next answer.
            self.send_header("Connection", "close")
        self.end_headers()
        if not self.send_body or bodiless:
            return

        cut_after = fault.get("cut_after")
        gate = fault.get("wait_for_file")
        stall_after = fault.get("stall_after", 0 if gate else None)
        drip = int(fault.get("drip_bytes", 0))
        sent = 0
        while True:
            limit = min(CHUNK, size - sent)  # a range ends before its file does
            if drip:
                limit = min(limit, drip)
                if limit > 0:
                    time.sleep(float(fault.get("drip_seconds", 1)))
            for mark in (cut_after, stall_after):
                if mark is not None and mark > sent:
                    limit = min(limit, mark - sent)
            if cut_after is not None and sent >= cut_after:
                return self.cut(fault.get("cut_mode", "close"))
            if stall_after is not None and sent >= stall_after:
                if gate:
                    wait_for_file(str(gate), float(fault.get("stall_seconds", 60)))
                else:
                    time.sleep(float(fault.get("stall_seconds", 5)))
                stall_after = None
            data = source.read(limit)
            if not data:
                break
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
            sent += len(data)
            self.body_sent = sent
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        if fault.get("declare_extra"):
            return self.cut("close")  # the client would wait for the rest
        if fault.get("extra_bytes"):
            self.wfile.write(b"X" * int(fault["extra_bytes"]))
            self.close_connection = True  # the stream is out of step now

    def cut(self, mode):
        """Drops the connection without a TLS close_notify: a transfer broken mid-way."""
        self.close_connection = True
        raw = self.request
        if mode == "reset":
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            try:
                raw.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        raw.close()


def wait_for_file(path, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.01)


def origin_form(target):
    """The path and query of an absolute-form target ("https://host:port/p?q"); any other target
    as it is. Servers must accept that form (RFC 9112, 3.2.2), and Wine's WinHTTP sends it inside
    a proxy's tunnel."""
    scheme, separator, rest = target.partition("://")
    if not separator or scheme.lower() not in ("http", "https"):
        return target
    slash = rest.find("/")
    return rest[slash:] if slash >= 0 else "/"


class _BytesReader:
    def __init__(self, data):
        self.data = memoryview(data)
        self.offset = 0

    def read(self, limit):
        piece = self.data[self.offset:self.offset + limit]
        self.offset += len(piece)
        return bytes(piece)


class _FillReader:
    """A prefix, then blanks, up to a size: a body of any length without its bytes in memory."""

    def __init__(self, prefix, size):
        self.prefix = prefix[:size]
        self.size = size
        self.offset = 0

    def read(self, limit):
        limit = min(limit, self.size - self.offset)
        if limit <= 0:
            return b""
        head = self.prefix[self.offset:self.offset + limit]
        piece = head + b" " * (limit - len(head))
        self.offset += limit
        return piece


class State:
    """What every connection shares."""

    def __init__(self, root, faults, log, verbose):
        self.root = root
        self.faults = faults
        self.log = log
        self.verbose = verbose
        self.connection_ids = itertools.count(1)
        self.https_port = 0
        self.http_port = 0


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, state, tls_context):
        self.state = state
        self.tls_context = tls_context
        self.scheme = "https" if tls_context else "http"
        super().__init__(address, Handler)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True, help="the folder to serve")
    parser.add_argument("--cert", required=True, help="server certificate (PEM, chain allowed)")
    parser.add_argument("--key", required=True, help="the certificate's private key (PEM)")
    parser.add_argument("--port", type=int, default=0, help="HTTPS port, 0 for a free one")
    parser.add_argument("--http-port", type=int, default=None,
                        help="also serve plain HTTP on this port, 0 for a free one")
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--faults", help="JSON fault table, re-read when it changes")
    parser.add_argument("--fault", action="append", default=[], metavar="PATH=JSON",
                        help="one fault, e.g. '/a.bin={\"cut_after\": 100}'")
    parser.add_argument("--ready-file", help="written with the ports once serving")
    parser.add_argument("--log", help="request log, one line per request")
    parser.add_argument("--exit-with", type=int, metavar="PID",
                        help="stop when this process is gone (a script that gets killed)")
    parser.add_argument("--tls", metavar="VERSIONS",
                        help="TLS versions to offer: one (1.2) or a range (1.0-1.1)")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    return parser.parse_args(argv)


def tls_context(cert, key, versions):
    """A server context offering the versions given as "1.2" or "1.0-1.1" (None: the default)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if versions is None:
        return context
    low, _, high = versions.partition("-")
    if low not in TLS_VERSIONS or (high or low) not in TLS_VERSIONS:
        sys.exit(f"server.py: --tls {versions}: use versions of 1.0, 1.1, 1.2, 1.3")
    low, high = TLS_VERSIONS[low], TLS_VERSIONS[high or low]
    if low > high:
        sys.exit(f"server.py: --tls {versions}: the range runs backwards")
    with warnings.catch_warnings():  # ssl warns that 1.0 and 1.1 are deprecated: that is the point
        warnings.simplefilter("ignore", DeprecationWarning)
        if low < ssl.TLSVersion.TLSv1_2:
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = low
        context.maximum_version = high
    return context


def main(argv):
    args = parse_args(argv)
    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        sys.exit(f"server.py: {root} is not a folder")

    faults_path = args.faults
    if faults_path is None:
        beside = os.path.join(os.path.dirname(root), "faults.json")
        faults_path = beside if os.path.exists(beside) else None
    overrides = {}
    for item in args.fault:
        path, _, text = item.partition("=")
        try:
            overrides[path] = json.loads(text)
        except ValueError as error:
            sys.exit(f"server.py: --fault {item}: {error}")

    state = State(root, Faults(faults_path, overrides), RequestLog(args.log), args.verbose)
    context = tls_context(args.cert, args.key, args.tls)

    servers = [Server((args.bind, args.port), state, context)]
    state.https_port = servers[0].server_address[1]
    if args.http_port is not None:
        servers.append(Server((args.bind, args.http_port), state, None))
        state.http_port = servers[1].server_address[1]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()

    if args.ready_file:
        temporary = args.ready_file + ".tmp"
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(f"HTTPS_PORT={state.https_port}\nHTTP_PORT={state.http_port}\n"
                    f"PID={os.getpid()}\n")
        os.replace(temporary, args.ready_file)
    if args.verbose:
        print(f"server.py: https on {state.https_port}, http on {state.http_port}",
              file=sys.stderr)

    try:
        while args.exit_with is None or process_alive(args.exit_with):
            time.sleep(1)
    except KeyboardInterrupt:
        pass


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


if __name__ == "__main__":
    main(sys.argv[1:])
