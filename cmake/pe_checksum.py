#!/usr/bin/env python3
"""pe_checksum.py EXE

Gives a release exe the layout that Authenticode signing gives it, so that a published, signed
exe with its signature removed (osslsigncode remove-signature) is byte for byte the exe that
scripts/release.sh builds: the file is padded with zeros to a multiple of 8 bytes (the
certificate table starts on one) and its header's CheckSum is the PE checksum, which the signer
and remover both write and GNU ld leaves at 0. Run last, after every other change to the file.
"""

import struct
import sys

CHECKSUM_OFFSET = 64  # of the CheckSum field, from the start of the optional header


def fail(message):
    sys.exit("pe_checksum.py: %s" % message)


def pe_checksum(data, field):
    """The PE image checksum: the 16-bit one's-complement-style sum of the file, the CheckSum
    field counted as 0, plus the file's length."""
    total = 0
    words = struct.unpack("<%dH" % (len(data) // 2), data[:len(data) // 2 * 2])
    for index, word in enumerate(words):
        if index * 2 in (field, field + 2):
            continue
        total += word
    if len(data) % 2:
        total += data[-1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    if len(sys.argv) != 2:
        fail("usage: pe_checksum.py EXE")
    path = sys.argv[1]
    with open(path, "rb") as file:
        data = bytearray(file.read())
    if data[:2] != b"MZ" or len(data) < 64:
        fail("%s is not a PE file" % path)
    header = struct.unpack_from("<I", data, 60)[0]
    if data[header:header + 4] != b"PE\0\0":
        fail("%s has no PE header" % path)
    field = header + 24 + CHECKSUM_OFFSET
    data += b"\0" * (-len(data) % 8)
    struct.pack_into("<I", data, field, pe_checksum(bytes(data), field))
    with open(path, "wb") as file:
        file.write(data)


if __name__ == "__main__":
    main()
