"""End-to-end scenario of DLLs planted beside "Velm Co-op.exe" (under Wine; natively it skips).

A mod loader puts its proxy DLL (winhttp.dll, version.dll, ...) in the game folder, which is the
launcher's folder too. None of them may run inside the launcher: the exe's static imports are
Known DLLs, and everything else is loaded after the entry point has limited the DLL search to
System32. The scenario plants a DLL for every non-Known DLL that the exe imports or delay-loads
(exporting the functions the exe takes from it) and for the DLLs that WinHTTP, TLS and the loader
pull in on Windows or Wine, each writing a marker from DllMain. WINEDLLOVERRIDES makes Wine prefer
them to its own. Before the launcher runs, a probe program in a folder of the same DLLs proves
that Wine loads each of them from beside an exe that searches there, so a missing marker means
something.
"""

import hashlib
import os
import shutil
import subprocess
import sys

from harness import check, check_equal

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "exe"))
from pe_file import PeFile  # noqa: E402

COMPILER = "x86_64-w64-mingw32-gcc"
MARKER = ".loaded"

# Known DLLs on every Windows from 7 on: the loader maps them from \KnownDlls and never looks
# beside the exe for them (nor would Wine start with some of them replaced), so none is planted.
KNOWN = {"advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "imagehlp", "imm32", "kernel32",
         "kernelbase", "msctf", "msvcrt", "normaliz", "nsi", "ntdll", "ole32", "oleaut32", "psapi",
         "rpcrt4", "sechost", "setupapi", "shell32", "shlwapi", "user32", "wldap32"}

# Planted whether the exe imports them or not: what WinHTTP pulls in for sockets, name lookup,
# proxies and TLS on Windows 7 to 11 and on Wine, what the C runtime and the loader reach for, and
# mod loaders' favourite proxy names.
COMMON = [
    "winhttp", "webio", "jsproxy", "wininet", "urlmon", "iertutil",
    "ws2_32", "wsock32", "mswsock", "iphlpapi", "winnsi", "dnsapi", "dhcpcsvc", "dhcpcsvc6",
    "rasadhlp", "rasapi32", "fwpuclnt", "netapi32", "netutils", "srvcli", "wkscli", "mpr",
    "secur32", "sspicli", "schannel", "kerberos", "msv1_0", "crypt32", "cryptnet", "msasn1",
    "cryptsp", "cryptbase", "rsaenh", "bcrypt", "bcryptprimitives", "ncrypt", "wintrust", "dpapi",
    "userenv", "profapi", "gpapi", "powrprof", "wtsapi32", "version", "dbghelp", "winmm",
    "ucrtbase", "vcruntime140", "msvcp140", "uxtheme", "dwmapi", "propsys",
    "dinput8", "dsound", "dxgi", "d3d9", "d3d11", "xinput1_3",
]

# DllMain writes "<its own path>.loaded", holding the path of the program that loaded it. A
# function that the exe imports returns 0; nothing calls it when the planted DLL is not loaded.
PLANTED_SOURCE = r"""
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[MAX_PATH + 16];
  wchar_t program[MAX_PATH];
  DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
  DWORD programLength = GetModuleFileNameW(NULL, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpyW(marker + length, L".loaded");
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return TRUE;
  DWORD written = 0;
  if (programLength < MAX_PATH) {
    WriteFile(file, program, programLength * sizeof(wchar_t), &written, NULL);
  }
  CloseHandle(file);
  return TRUE;
}
int planted_function(void) { return 0; }
"""

# Loads each DLL named on its command line by bare name, so the search starts in its own folder.
PROBE_SOURCE = r"""
#include <windows.h>
int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) LoadLibraryW(argv[i]);
  return 0;
}
"""


# --- building the DLLs -------------------------------------------------------------------------


def compile_tool(arguments, what):
    if shutil.which(COMPILER) is None:
        check(False, "%s is not installed: cannot build %s" % (COMPILER, what))
    result = subprocess.run([COMPILER] + arguments, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=120)
    check(result.returncode == 0, "building %s failed:\n%s" %
          (what, result.stdout.decode(errors="replace")))


class DllFactory:
    """Builds the planted DLLs into cache (a folder of the run's work folder), each name and
    export list once per run."""

    def __init__(self, cache):
        self.cache = cache
        os.makedirs(cache, exist_ok=True)
        self.object = os.path.join(cache, "planted.o")
        if not os.path.exists(self.object):
            source = os.path.join(cache, "planted.c")
            with open(source, "w") as file:
                file.write(PLANTED_SOURCE)
            compile_tool(["-O2", "-c", source, "-o", self.object], "the planted DLLs' object")

    def dll(self, name, exports):
        """The path of a built <name>.dll that exports these functions."""
        key = hashlib.sha256(("%s\n%s" % (name, "\n".join(sorted(exports)))).encode())
        path = os.path.join(self.cache, "%s-%s.dll" % (name, key.hexdigest()[:16]))
        if not os.path.exists(path):
            definition = path[:-4] + ".def"
            with open(definition, "w") as file:
                file.write("LIBRARY %s.dll\nEXPORTS\n" % name)
                for export in sorted(exports):
                    file.write("  %s=planted_function\n" % export)
            # No C runtime: the DLL needs kernel32 alone and runs nothing but DllMain.
            compile_tool(["-shared", "-nostdlib", "-Wl,--entry,DllMain", "-o", path + ".tmp",
                          self.object, definition, "-lkernel32"], name + ".dll")
            os.replace(path + ".tmp", path)
        return path

    def probe(self):
        path = os.path.join(self.cache, "probe.exe")
        if not os.path.exists(path):
            source = os.path.join(self.cache, "probe.c")
            with open(source, "w") as file:
                file.write(PROBE_SOURCE)
            compile_tool(["-municode", "-O2", source, "-o", path], "the probe")
        return path


# --- what to plant -----------------------------------------------------------------------------


def base_name(dll):
    name = dll.lower()
    return name[:-4] if name.endswith(".dll") else name


def planted_exports(exe_path):
    """name -> the functions the exe takes from it, for every DLL to plant beside the exe."""
    exe = PeFile(exe_path)
    wanted = {name: set() for name in COMMON}
    for dll, functions in exe.imports + exe.delay_imports:
        name = base_name(dll)
        if name not in KNOWN:
            wanted.setdefault(name, set()).update(f for f in functions if not f.startswith("#"))
    return wanted


def plant(factory, folder, exe_path):
    """Puts the planted DLLs for exe_path into folder; returns their names."""
    wanted = planted_exports(exe_path)
    for name, exports in sorted(wanted.items()):
        shutil.copyfile(factory.dll(name, exports), os.path.join(folder, name + ".dll"))
    return sorted(wanted)


def overrides(names):
    """Wine prefers a native DLL (the planted one) to its own for each name."""
    return {"WINEDLLOVERRIDES": ",".join(names) + "=n,b"}


def markers(folder):
    """[(DLL path relative to folder, program that loaded it)] for every marker below folder."""
    found = []
    for parent, _, names in os.walk(folder):
        for name in names:
            if name.lower().endswith(MARKER):
                path = os.path.join(parent, name)
                with open(path, "rb") as file:
                    program = file.read().decode("utf-16-le", errors="replace")
                found.append((os.path.relpath(path, folder)[:-len(MARKER)], program))
    return sorted(found)


def expect_no_marker(c, what):
    loaded = markers(c.game_dir)
    check(not loaded, "%s: planted DLLs ran:\n%s" % (
        what, "\n".join("  %s, in %s" % (dll, program) for dll, program in loaded)))


def prove_wine_loads_them(c, factory, names):
    """The probe loads every planted name from its own folder under the same overrides."""
    folder = os.path.join(c.work, "planted-probe", os.path.basename(c.game_dir))
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    probe = os.path.join(folder, "probe.exe")
    shutil.copyfile(factory.probe(), probe)
    for dll in [name + ".dll" for name in names]:
        shutil.copyfile(os.path.join(c.game_dir, dll), os.path.join(folder, dll))
    environment = dict(os.environ)
    environment.update(overrides(names))
    subprocess.run(["wine", probe] + [name + ".dll" for name in names], cwd=folder,
                   env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    loaded = {base_name(os.path.basename(dll)) for dll, _ in markers(folder)}
    check_equal(sorted(set(names) - loaded), [],
                "planted DLLs that Wine would not load even from beside a program that looks "
                "there (the scenario would prove nothing for them)")


# --- the scenario ------------------------------------------------------------------------------


def expect_clean_run(c, what, result, out_lines, err_lines=(), game_started=True):
    """No planted DLL ran, and the run printed what it prints without them."""
    expect_no_marker(c, what)
    check_equal(result.code, 0, "%s: exit code\n%r" % (what, result))
    check_equal(result.err_lines(), list(err_lines), what + ": standard error")
    check_equal(result.out_lines(), out_lines, what + ": standard output")
    if game_started:
        c.recorded()
        os.remove(c.recorder_path())


def planted_dlls_never_run_in_the_launcher(c):
    if not c.platform.wine:
        return "skip"
    factory = DllFactory(os.path.join(c.work, "planted-dlls"))
    names = plant(factory, c.game_dir, c.platform.launcher)
    check("winhttp" in names, "winhttp.dll is not among the planted DLLs")
    prove_wine_loads_them(c, factory, names)
    planted = overrides(names)

    result = c.run(["--version"], env=planted)
    expect_clean_run(c, "--version", result, [c.banner()], game_started=False)
    check_equal(result.stdout, c.banner() + "\n", "--version: the whole output")

    c.add_game_exe()
    c.publish()
    expect_clean_run(c, "installing run", c.run(env=planted), [c.banner()] +
                     c.download_lines(["coop.exe", "data.txt"]) + [c.starting_line()])

    expect_clean_run(c, "offline start", c.run(env=dict(planted, VELM_COOP_OFFLINE="1")),
                     [c.banner(), c.starting_line()],
                     ["Could not reach %s -- starting the installed version." % c.host])

    c.files["data.txt"] = b"co-op data, version 2\n"
    c.manifest_version = "1.0.1"
    c.publish()
    expect_clean_run(c, "updating run", c.run(env=planted),
                     [c.banner()] + c.download_lines(["data.txt"]) + [c.starting_line()])
    check_equal(c.package_files()["data.txt"], c.files["data.txt"], "updating run: data.txt")


ALL = [planted_dlls_never_run_in_the_launcher]
