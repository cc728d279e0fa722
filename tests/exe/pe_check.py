#!/usr/bin/env python3
"""pe_check.py [--release] EXE

Checks how the launcher exe asks to be loaded: address-space layout randomisation with 64-bit
entropy and no executable data (DllCharacteristics), and no DLL that the loader would look for
beside the exe before the entry point runs. Its static imports are Known DLLs that need nothing
from the exe's folder; WinHTTP (no Known DLL, and a favourite name of mod loaders' proxy DLLs)
is delay-loaded. With --release, the exe is one that players get: it carries no debug sections
(.debug_*), which only a debugger reads; a test build keeps them. Ends with the line
"N passed, N failed".
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_file import PeFile  # noqa: E402

REQUIRED_CHARACTERISTICS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040,
                            "NX_COMPAT": 0x0100}
# user32 is a Known DLL as well, but it stays out of the static imports: Wine's user32 imports
# version.dll, which Wine then looks for beside the exe, before main.
STATIC_IMPORTS_ALLOWED = {"kernel32.dll", "msvcrt.dll"}
MUST_BE_DELAY_LOADED = ["winhttp.dll"]


def lower_names(table):
    return [name.lower() for name, _ in table]


def check_characteristics(exe):
    missing = [name for name, bit in sorted(REQUIRED_CHARACTERISTICS.items())
               if not exe.dll_characteristics & bit]
    return ["DllCharacteristics 0x%04x lacks %s" % (exe.dll_characteristics, ", ".join(missing))
            ] if missing else []


def check_static_imports(exe):
    names = lower_names(exe.imports)
    if not names:
        return ["the import table is empty or unreadable"]
    extra = [name for name in names if name not in STATIC_IMPORTS_ALLOWED]
    return ["static imports beyond %s: %s" % (", ".join(sorted(STATIC_IMPORTS_ALLOWED)),
                                              ", ".join(extra))] if extra else []


def check_delay_imports(exe):
    delayed = lower_names(exe.delay_imports)
    problems = ["%s is not in the delay-import table (it holds: %s)" %
                (name, ", ".join(delayed) or "nothing") for name in MUST_BE_DELAY_LOADED
                if name not in delayed]
    problems += ["%s imports no function" % name for name, functions in exe.delay_imports
                 if not functions]
    both = sorted(set(delayed) & set(lower_names(exe.imports)))
    if both:
        problems.append("both imported and delay-loaded: " + ", ".join(both))
    return problems


def check_no_debug_sections(exe):
    debug = [name for name in exe.section_names if name.startswith((".debug", "/"))]
    return ["debug sections (or names that cannot be read): " + ", ".join(debug)] if debug else []


CHECKS = [check_characteristics, check_static_imports, check_delay_imports]
RELEASE_CHECKS = [check_no_debug_sections]


def main():
    arguments = sys.argv[1:]
    release = arguments[:1] == ["--release"]
    if release:
        arguments = arguments[1:]
    if len(arguments) != 1:
        print("usage: pe_check.py [--release] EXE", file=sys.stderr)
        return 2
    exe = PeFile(arguments[0])
    passed = failed = 0
    for check in CHECKS + (RELEASE_CHECKS if release else []):
        problems = check(exe)
        if problems:
            failed += 1
            print("FAIL %s\n  %s" % (check.__name__, "\n  ".join(problems)))
        else:
            passed += 1
            print("PASS %s" % check.__name__)
    print("imports: %s; delay-loaded: %s" % (", ".join(lower_names(exe.imports)),
                                             ", ".join(lower_names(exe.delay_imports))))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
