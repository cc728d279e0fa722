#!/usr/bin/env python3
"""delay_import_directory.py EXE NM

Points EXE's delay-import data directory at its table of delay-import descriptors. GNU ld links
the descriptors of dlltool's delay-load libraries but leaves that directory empty, so neither
objdump -p, dumpbin, Dependency Walker nor our own checks would see which DLLs are delay-loaded.
The descriptors are found by their symbols (__DELAY_IMPORT_DESCRIPTOR_*), which must lie back to
back and be followed by velm_delay_import_end (delay_import_end.c), the null entry that ends the
table. Run right after the link, while the exe still has its symbol table.
"""

import array
import struct
import subprocess
import sys

DESCRIPTOR_SIZE = 32
DELAY_IMPORT_DIRECTORY = 13
END_SYMBOL = "velm_delay_import_end"


def fail(message):
    sys.exit("delay_import_directory.py: %s" % message)


def symbol_addresses(nm, exe):
    """(descriptor addresses, sorted; the end entry's address), as virtual addresses."""
    output = subprocess.run([nm, exe], check=True, stdout=subprocess.PIPE, text=True).stdout
    descriptors = []
    end = None
    for line in output.splitlines():
        fields = line.split()
        if len(fields) != 3:
            continue
        if fields[2].startswith("__DELAY_IMPORT_DESCRIPTOR_"):
            descriptors.append(int(fields[0], 16))
        elif fields[2] == END_SYMBOL:
            end = int(fields[0], 16)
    return sorted(descriptors), end


def pe_checksum(image, field):
    """The optional header's CheckSum of image, with the field itself at offset field."""
    data = bytearray(image)
    data[field:field + 4] = bytes(4)
    if len(data) % 2:
        data.append(0)
    words = array.array("H", bytes(data))
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def main():
    if len(sys.argv) != 3:
        fail("usage: delay_import_directory.py EXE NM")
    exe, nm = sys.argv[1], sys.argv[2]
    with open(exe, "rb") as file:
        image = bytearray(file.read())

    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail("%s is not a PE file" % exe)
    section_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        fail("%s is not a 64-bit image" % exe)
    image_base = struct.unpack_from("<Q", image, optional + 24)[0]
    directory = optional + 112 + 8 * DELAY_IMPORT_DIRECTORY
    sections = []
    for index in range(section_count):
        header = optional + optional_size + 40 * index
        size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
        sections.append((rva, max(size, raw_size), raw_offset, raw_size))

    descriptors, end = symbol_addresses(nm, exe)
    if not descriptors:
        fail("%s has no delay-import descriptors" % exe)
    if end is None:
        fail("%s lacks %s: link cmake/delay_import_end.c into it" % (exe, END_SYMBOL))
    expected = [descriptors[0] + DESCRIPTOR_SIZE * i for i in range(len(descriptors) + 1)]
    if descriptors + [end] != expected:
        fail("the delay-import descriptors and their end entry are not one table: %s"
             % ", ".join("0x%x" % a for a in descriptors + [end]))

    end_rva = end - image_base
    for rva, size, raw_offset, raw_size in sections:
        if rva <= end_rva and end_rva + DESCRIPTOR_SIZE <= rva + min(size, raw_size):
            start = raw_offset + end_rva - rva
            if any(image[start:start + DESCRIPTOR_SIZE]):
                fail("the end entry of the delay-import table is not all zero")
            break
    else:
        fail("the end entry of the delay-import table is not in the file")

    struct.pack_into("<II", image, directory, descriptors[0] - image_base,
                     DESCRIPTOR_SIZE * (len(descriptors) + 1))
    # The linker fills in CheckSum; keep it true for the changed header.
    checksum = optional + 64
    if struct.unpack_from("<I", image, checksum)[0] != 0:
        struct.pack_into("<I", image, checksum, pe_checksum(image, checksum))
    with open(exe, "r+b") as file:
        file.seek(directory)
        file.write(image[directory:directory + 8])
        file.seek(checksum)
        file.write(image[checksum:checksum + 4])


if __name__ == "__main__":
    main()
