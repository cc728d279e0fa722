#!/usr/bin/env python3
"""Writes the platform tests' site: SITE_DIR/ with the files, and SITE_DIR/../faults.json.

Usage: make_site.py SITE_DIR
The bodies are what platform_net.h expects; keep the two in step.
"""

import json
import os
import sys


def pattern(lines, first=0):
    """Numbered lines: any lost, repeated or reordered chunk changes the text."""
    return "".join(f"{i:07d}\n" for i in range(first, first + lines)).encode()


# Files fetched at once from several threads: each its own lines, so no body passes for another.
PARTS = 8
PART_LINES = 30000


def content_range_fault(value):
    """A 206 whose Content-Range is value (a list sends the header once for each)."""
    return {"status": 206, "body": "the rest\n", "headers": {"Content-Range": value}}


FILES = {
    "index.html": b"index page\n",
    "small.txt": b"hello\n",
    "empty.txt": b"",
    "big.bin": pattern(400000),  # 3.2 MB
    "cut.bin": pattern(131072),  # 1 MiB
    "reset.bin": pattern(131072),
    "stall.bin": pattern(131072),
    "drip.bin": pattern(25),  # 200 bytes
    "steady.bin": pattern(4096),  # 32 KiB
    "extra.txt": b"declared body\n",
    "long.bin": pattern(131072),
    "chunks.bin": pattern(131072),
    "notfound.txt": b"the body of a 404\n",
    "error.txt": b"the body of a 500\n",
    "norange.bin": pattern(131072),
    "offrange.bin": pattern(131072),
}
FILES.update({f"part{i}.bin": pattern(PART_LINES, i * 1000000) for i in range(PARTS)})

FAULTS = {
    "/notfound.txt": {"status": 404},
    "/error.txt": {"status": 500},
    "/teapot": {"status": 418, "body": "short and stout\n"},
    "/nocontent": {"status": 204},
    "/nowhere": {"status": 302, "body": "a redirect without a Location\n"},
    "/cut.bin": {"cut_after": 100000},
    "/reset.bin": {"cut_after": 50000, "cut_mode": "reset"},
    "/stall.bin": {"stall_after": 1000, "stall_seconds": 6},
    # A byte every quarter of a second: 50 s in all, a KiB never within a few seconds.
    "/drip.bin": {"drip_bytes": 1, "drip_seconds": 0.25},
    # 2 KiB every quarter of a second: steady, and 4 s in all.
    "/steady.bin": {"drip_bytes": 2048, "drip_seconds": 0.25},
    "/extra.txt": {"extra_bytes": 1000},
    # Every byte, then the connection closes: short of its Content-Length, or of its last chunk.
    "/long.bin": {"declare_extra": 1000},
    "/chunks.bin": {"chunked": True, "cut_after": 131072 * 8},
    "/refused": {"status": 416, "body": "no Content-Range\n"},
    "/moved": {"redirect": "https://localhost:{https_port}/small.txt", "status": 301},
    "/down": {"redirect": "http://localhost:{http_port}/small.txt"},
    "/norange.bin": {"ignore_range": True},
    "/offrange.bin": {"range_offset": 8},
    # 206s for a request from byte 1000 of a 2000-byte file.
    "/range/good": content_range_fault("bytes 1000-1999/2000"),
    "/range/unknown-length": content_range_fault("bytes 1000-1999/*"),
    "/range/unit-in-capitals": content_range_fault("BYTES 1000-1999/2000"),
    "/range/one-early": content_range_fault("bytes 999-1999/2000"),
    "/range/one-late": content_range_fault("bytes 1001-1999/2000"),
    "/range/from-zero": content_range_fault("bytes 0-1999/2000"),
    "/range/unsatisfied": content_range_fault("bytes */2000"),
    "/range/other-unit": content_range_fault("items 1000-1999/2000"),
    "/range/no-end": content_range_fault("bytes 1000-"),
    "/range/backwards": content_range_fault("bytes 1000-999/2000"),
    "/range/past-length": content_range_fault("bytes 1000-2000/2000"),
    "/range/trailing": content_range_fault("bytes 1000-1999/2000 x"),
    "/range/twice": content_range_fault(["bytes 1000-1999/2000", "bytes 1000-1999/2000"]),
    "/range/none": {"status": 206, "body": "the rest\n"},
    # 206s for a request for bytes 1000-1499 of a 2000-byte file, or 1000-4999 past its end.
    "/range/end/good": content_range_fault("bytes 1000-1499/2000"),
    "/range/end/unknown-length": content_range_fault("bytes 1000-1499/*"),
    "/range/end/one-short": content_range_fault("bytes 1000-1498/2000"),
    "/range/end/one-long": content_range_fault("bytes 1000-1500/2000"),
    "/range/end/to-the-end": content_range_fault("bytes 1000-1999/2000"),
    "/range/end/to-an-unknown-end": content_range_fault("bytes 1000-1999/*"),
    "/range/end/short-of-the-end": content_range_fault("bytes 1000-1998/2000"),
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
