#!/usr/bin/env python3
"""A throwaway RFC 3161 time-stamp server over plain HTTP, for checking signatures with a time
stamp (scripts/release-check.sh). Each request's body is answered by `openssl ts -reply`.

  tsa_server.py FOLDER

Makes a self-signed time-stamp certificate (FOLDER/tsa.pem, for -TSA-CAfile) and its key in
FOLDER, listens on a free port of 127.0.0.1, writes that port to FOLDER/port once it accepts
connections, and serves until it is killed or its parent process is gone.
"""

import http.server
import os
import subprocess
import sys
import threading
import time

CONFIG = """[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = %(folder)s/serial
crypto_device = builtin
signer_cert = %(folder)s/tsa.pem
signer_key = %(folder)s/tsa-key.pem
certs = %(folder)s/tsa.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def make_authority(folder):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Velm Co-op throwaway time-stamp authority",
                    "-addext", "extendedKeyUsage=critical,timeStamping",
                    "-keyout", os.path.join(folder, "tsa-key.pem"),
                    "-out", os.path.join(folder, "tsa.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(folder, "serial"), "w") as file:
        file.write("01\n")
    with open(os.path.join(folder, "ts.cnf"), "w") as file:
        file.write(CONFIG % {"folder": folder})


def handler(folder):
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with lock:  # one serial file, one answer at a time
                answer = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", os.path.join(folder, "ts.cnf"),
                     "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                    input=query, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if answer.returncode != 0 or not answer.stdout:
                self.send_error(400, "openssl ts -reply refused the query")
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(answer.stdout)))
            self.end_headers()
            self.wfile.write(answer.stdout)

        def log_message(self, *arguments):
            pass

    return Handler


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: tsa_server.py FOLDER")
    folder = os.path.abspath(sys.argv[1])
    os.makedirs(folder, exist_ok=True)
    make_authority(folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler(folder))
    parent = os.getppid()

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(1)
        server.shutdown()

    threading.Thread(target=watch_parent, daemon=True).start()
    with open(os.path.join(folder, "port.tmp"), "w") as file:
        file.write("%d\n" % server.server_address[1])
    os.replace(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
