#!/usr/bin/env python3
"""Writes the platform tests' site: SITE_DIR/ with the files, and SITE_DIR/../faults.json.

Usage: make_site.py SITE_DIR
The bodies are what local_server.h expects; keep the two in step.
"""

import json
import os
import sys


def pattern(lines):
    """Numbered lines: any lost, repeated or reordered chunk changes the text."""
    return "".join(f"{i:07d}\n" for i in range(lines)).encode()


FILES = {
    "index.html": b"index page\n",
    "small.txt": b"hello\n",
    "empty.txt": b"",
    "big.bin": pattern(400000),  # 3.2 MB
    "cut.bin": pattern(131072),  # 1 MiB
    "reset.bin": pattern(131072),
    "stall.bin": pattern(131072),
    "extra.txt": b"declared body\n",
    "notfound.txt": b"the body of a 404\n",
    "error.txt": b"the body of a 500\n",
}

FAULTS = {
    "/notfound.txt": {"status": 404},
    "/error.txt": {"status": 500},
    "/teapot": {"status": 418, "body": "short and stout\n"},
    "/nocontent": {"status": 204},
    "/nowhere": {"status": 302, "body": "a redirect without a Location\n"},
    "/cut.bin": {"cut_after": 100000},
    "/reset.bin": {"cut_after": 50000, "cut_mode": "reset"},
    "/stall.bin": {"stall_after": 1000, "stall_seconds": 6},
    "/extra.txt": {"extra_bytes": 1000},
    "/moved": {"redirect": "https://localhost:{https_port}/small.txt", "status": 301},
    "/down": {"redirect": "http://localhost:{http_port}/small.txt"},
}


def main(site):
    os.makedirs(site, exist_ok=True)
    for name, body in FILES.items():
        with open(os.path.join(site, name), "wb") as f:
            f.write(body)
    with open(os.path.join(os.path.dirname(os.path.abspath(site)), "faults.json"), "w") as f:
        json.dump(FAULTS, f, indent=2)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_site.py SITE_DIR")
    main(sys.argv[1])
