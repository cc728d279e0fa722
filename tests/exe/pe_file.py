"""What a 64-bit PE image says about how it is loaded: its DLL characteristics, and the DLLs of its
import and delay-import tables with the functions it takes from each; and the names of its
sections. Shared by the exe checks and the planted-DLL scenario; it reads the file only, so it
runs on any host."""

import struct

IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13
ORDINAL_FLAG = 1 << 63


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as file:
            self.data = file.read()
        if self.data[:2] != b"MZ":
            raise PeError("%s: no MZ header" % path)
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError("%s: no PE signature" % path)
        section_count, symbols, symbol_count, optional_size = struct.unpack_from(
            "<H4xIIH", self.data, pe + 6)
        optional = pe + 24
        if self.u16(optional) != 0x20B:
            raise PeError("%s: not a PE32+ image" % path)
        self.image_base = self.u64(optional + 24)
        self.dll_characteristics = self.u16(optional + 70)
        directory_count = self.u32(optional + 108)
        self.directories = [struct.unpack_from("<II", self.data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        self.section_names = []
        for index in range(section_count):
            header = optional + optional_size + 40 * index
            size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", self.data, header + 8)
            self.sections.append((rva, max(size, raw_size), raw_offset, raw_size))
            strings = symbols + 18 * symbol_count if symbols else None
            self.section_names.append(self.section_name(header, strings))
        self.imports = self.read_imports()
        self.delay_imports = self.read_delay_imports()

    # --- raw access ------------------------------------------------------------------------

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def u64(self, offset):
        return struct.unpack_from("<Q", self.data, offset)[0]

    def offset(self, rva):
        for start, size, raw_offset, raw_size in self.sections:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_offset + rva - start
        raise PeError("RVA 0x%x is not in the file" % rva)

    def text(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("ascii")

    def section_name(self, header, strings):
        """A section header's name; a long one ("/N") is read from the COFF string table at
        strings (None: there is none, and the name stays "/N"), as GNU ld writes the names of the
        DWARF sections."""
        name = self.data[header:header + 8].rstrip(b"\0")
        if strings is not None and name.startswith(b"/") and name[1:].isdigit():
            start = strings + int(name[1:])
            end = self.data.find(b"\0", start)
            if end > start:
                name = self.data[start:end]
        return name.decode("ascii", "replace")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    # --- tables ----------------------------------------------------------------------------

    def names(self, table_rva):
        """The functions of one import name table: names, or "#N" for an ordinal."""
        found = []
        entry = self.offset(table_rva)
        while True:
            value = self.u64(entry)
            if value == 0:
                return found
            if value & ORDINAL_FLAG:
                found.append("#%d" % (value & 0xFFFF))
            else:
                found.append(self.text((value & 0x7FFFFFFF) + 2))  # past the hint
            entry += 8

    def read_imports(self):
        """[(dll name, [function, ...])] of the import table, in its order."""
        rva, _ = self.directory(IMPORT_DIRECTORY)
        found = []
        if rva == 0:
            return found
        entry = self.offset(rva)
        while True:
            lookup, _, _, name, address = struct.unpack_from("<IIIII", self.data, entry)
            if name == 0:
                return found
            found.append((self.text(name), self.names(lookup or address)))
            entry += 20

    def read_delay_imports(self):
        """[(dll name, [function, ...])] of the delay-import table, in its order."""
        rva, _ = self.directory(DELAY_IMPORT_DIRECTORY)
        found = []
        if rva == 0:
            return found
        entry = self.offset(rva)
        while True:
            attributes, name, _, _, names = struct.unpack_from("<IIIII", self.data, entry)
            if name == 0:
                return found
            if not attributes & 1:  # addresses instead of RVAs, as only the first linkers wrote
                raise PeError("a delay-import descriptor without RVAs")
            found.append((self.text(name), self.names(names)))
            entry += 32
