"""The chunk index of a package file, as velm-publish writes it, made here in Python so that the
scenarios can publish indexes for both builds and check the launcher's cutter against a second
implementation of the same rules."""

import hashlib
import struct

MIN_CHUNK = 16384
AVERAGE_CHUNK = 65536
MAX_CHUNK = 262144
HASH_SIZE = 12
MASK64 = (1 << 64) - 1


def gear_table():
    words, state = [], 0x56454C4D43484B31
    for _ in range(256):
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        mixed = state
        mixed = ((mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        mixed = ((mixed ^ (mixed >> 27)) * 0x94D049BB133111EB) & MASK64
        words.append(mixed ^ (mixed >> 31))
    return words


GEAR = gear_table()
MASK_BEFORE_AVERAGE = (MASK64 << (64 - 18)) & MASK64
MASK_AFTER_AVERAGE = (MASK64 << (64 - 14)) & MASK64


def cut(data):
    """[(offset, length, hash)] of data's chunks."""
    chunks, start = [], 0
    while start < len(data):
        end = min(len(data), start + MAX_CHUNK)
        at, found, fingerprint = start + MIN_CHUNK, None, 0
        while at < end:
            fingerprint = ((fingerprint << 1) + GEAR[data[at]]) & MASK64
            at += 1
            mask = MASK_BEFORE_AVERAGE if at - start <= AVERAGE_CHUNK else MASK_AFTER_AVERAGE
            if fingerprint & mask == 0:
                found = at
                break
        stop = found if found is not None else min(len(data), start + MAX_CHUNK)
        chunks.append((start, stop - start, hashlib.sha256(data[start:stop]).digest()[:HASH_SIZE]))
        start = stop
    return chunks


def index_bytes(data, chunks=None):
    chunks = cut(data) if chunks is None else chunks
    out = b"VELMCHK1" + struct.pack("<IIIQI", MIN_CHUNK, AVERAGE_CHUNK, MAX_CHUNK, len(data),
                                    len(chunks))
    return out + b"".join(struct.pack("<I", length) + digest for _, length, digest in chunks)


def missing_bytes(new, *held):
    """The bytes of new that none of held holds as a chunk: what an update fetches."""
    known = {(length, digest) for data in held for _, length, digest in cut(data)}
    return sum(length for _, length, digest in cut(new) if (length, digest) not in known)
