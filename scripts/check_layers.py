#!/usr/bin/env python3
"""Checks the include lines of src/ and tools/ against the project's layers.

The folders of src/ form one order, each using only itself and those below it:
text < os < net < signature < catalogue < package < selfupdate < platform < core, with
tools/ on top. Operating-system headers appear only in os/, in the two network clients of net/
(files with the _curl or _winhttp suffix), in text/'s platform files (the UTF-16 conversions)
and in the two entry files. Prints one line per broken rule and exits 1 when there is one.

  scripts/check_layers.py [ROOT]
"""

import os
import re
import sys

ORDER = ["text", "os", "net", "signature", "catalogue", "package", "selfupdate", "platform",
         "core"]
TOP = len(ORDER)  # tools/ stands above every folder of src/

# Headers of an operating system rather than of the C and C++ standards or a library.
OS_HEADERS = {
    "windows.h", "winhttp.h", "winbase.h", "winnt.h", "winver.h", "conio.h", "io.h",
    "delayimp.h", "shellapi.h", "shlobj.h", "bcrypt.h", "wincrypt.h", "winsock2.h", "ws2tcpip.h",
    "direct.h", "process.h", "unistd.h", "fcntl.h", "dirent.h", "termios.h", "spawn.h",
    "pthread.h", "dlfcn.h", "poll.h", "netdb.h", "pwd.h", "grp.h", "syslog.h", "sched.h",
}
OS_PREFIXES = ("sys/", "netinet/", "arpa/", "linux/", "asm/")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(path):
    """The rank of a file's folder in ORDER, TOP for tools/, None for what is not checked."""
    parts = path.split("/")
    if parts[0] == "tools":
        return TOP
    if parts[0] == "src" and len(parts) > 2 and parts[1] in ORDER:
        return ORDER.index(parts[1])
    return None


def may_use_os_headers(path):
    parts = path.split("/")
    if parts[0] != "src" or len(parts) != 3:
        return False
    folder, stem = parts[1], os.path.splitext(parts[2])[0]
    if folder == "os":
        return True
    if folder == "net":
        return re.search(r"_(curl|winhttp)$", stem) is not None
    if folder == "text":
        return re.search(r"_(win|posix)$", stem) is not None
    return folder == "core" and stem in ("entry_win", "entry_posix")


def is_os_header(name):
    return name.lower() in OS_HEADERS or name.startswith(OS_PREFIXES)


def problems_in(root, path):
    rank = layer_of(path)
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            quote, name = match.groups()
            where = "%s:%d: %s" % (path, number, line.strip())
            if quote == "<" and is_os_header(name) and not may_use_os_headers(path):
                yield where + " -- an operating-system header outside os/ and the network clients"
            if quote != '"' or "/" not in name:
                continue
            used = name.split("/")[0]
            if used not in ORDER:
                continue
            if ORDER.index(used) > rank:
                yield "%s -- %s/ is above %s" % (
                    where, used, "tools/" if rank == TOP else ORDER[rank] + "/")


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    found = []
    for top in ("src", "tools"):
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".c", ".cpp", ".cc", ".in")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                if layer_of(path) is None:
                    print("%s -- a folder that is not one of the layers" % path)
                    found.append(path)
                    continue
                for problem in problems_in(root, path):
                    print(problem)
                    found.append(problem)
    if found:
        print("layers: %d include(s) against the order or the OS floor" % len(found))
        return 1
    print("layers: every include of src/ and tools/ goes down the order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
