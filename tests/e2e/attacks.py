"""End-to-end scenarios of an attacker who controls the server's answers: each ends with the game
folder unchanged byte for byte, or in the new and fully verified state, and no ".new" file.

The attacks meet an installed package (the tampered catalogue also a first run), so the launcher
has something to lose, and the installed version must still start after each of them.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile

from harness import Result, Signer, check, check_equal, sha256
from scenarios import LOCK_FILE, VERIFIED_FILE, announce_new_build, exe_path, needs_new_build

# The base name of every file a hostile manifest tries to place outside the package folder.
ESCAPE = "velm-escape"
# Several hundred MiB: far past anything the launcher may hold in memory.
HUGE_BODY = 400000000
# How far a run that is sent a huge document may grow past a run without faults, in peak resident
# memory (wait4's ru_maxrss). A launcher that collects the whole body grows by 400 MB; one that
# stops early by its document limit (16 MiB), or a few times that in a sanitizer build, whose
# allocator keeps freed blocks for a while. Under Wine the figures include the Wine runtime and
# Wine's own forks (see run_measured).
PEAK_GROWTH_LIMIT_KIB = 128 * 1024


# --- helpers ---------------------------------------------------------------------------------


def flipped(data, index, mask=0x01):
    changed = bytearray(data)
    changed[index] ^= mask
    return bytes(changed)


def file_content(path):
    with open(path, "rb") as file:
        return file.read()


def snapshot(folder, describe=file_content):
    """Every folder and file below folder: relative path -> describe(path) (content by default;
    None for a folder, whose path ends in a separator)."""
    found = {}
    for parent, folders, names in os.walk(folder):
        for name in folders:
            found[os.path.relpath(os.path.join(parent, name), folder) + os.sep] = None
        for name in names:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, folder)] = describe(path)
    return found


def game_folder(c):
    """The whole game folder, less the record of a started game, the lock file and the record of
    checked files (with the package folder, when a run made it for the lock alone)."""
    found = snapshot(c.game_dir)
    found.pop(os.path.relpath(c.recorder_path(), c.game_dir), None)
    package = os.path.relpath(c.package_dir, c.game_dir) + os.sep
    found.pop(package + LOCK_FILE, None)
    found.pop(package + VERIFIED_FILE, None)
    if not any(path.startswith(package) and path != package for path in found):
        found.pop(package, None)
    return found


def expect_game_folder(c, expected, what):
    actual = game_folder(c)
    leftovers = sorted(path for path in actual if path.rstrip(os.sep).lower().endswith(".new"))
    check_equal(leftovers, [], "%s: temporary files left in the game folder" % what)
    added = sorted(set(actual) - set(expected))
    removed = sorted(set(expected) - set(actual))
    changed = sorted(path for path in actual if path in expected and actual[path] != expected[path])
    check(not (added or removed or changed),
          "%s: the game folder changed\n  added:   %r\n  removed: %r\n  changed: %r"
          % (what, added, removed, changed))


def expect_installed_start(c, result, reason, what, out_lines=None):
    """The run fell back to the installed version with this reason and started the game."""
    check_equal(result.code, 0, "%s: exit code\n%r" % (what, result))
    check_equal(result.err_lines(), [reason + " -- starting the installed version."],
                "%s: standard error" % what)
    check_equal(result.out_lines(), out_lines or [c.banner(), c.starting_line()],
                "%s: standard output" % what)
    c.recorded()
    os.remove(c.recorder_path())


def scenario_folder(c):
    """A folder of the scenario's own, outside the game folder."""
    folder = os.path.join(c.work, "attack-files", os.path.basename(c.game_dir))
    os.makedirs(folder, exist_ok=True)
    return folder


def signature_text(c, data):
    return c.signer.signature_hex(data) + "\n"


def new_package(c):
    """A newer package, signed and served: version 1.0.1 with other data.txt content."""
    c.files["data.txt"] = b"co-op data, version 2\n"
    c.manifest_version = "1.0.1"
    c.publish()


def package_requests(c, since):
    """What the launcher asked for below /one/, other than the manifest and its signature, after
    the first `since` requests."""
    return [r for r in c.server.requests()[since:]
            if r.startswith("/one/") and r not in ("/one/manifest.json", "/one/manifest.json.sig")]


# Starts a command and reports its peak memory. A child's ru_maxrss also counts the memory of the
# process it was forked from, up to its exec: started straight from this script it would include
# the whole test harness (tens of MiB). This small interpreter forks the launcher instead, and
# writes the figure that wait4 gives to the file named first, then ends with the command's code.
MEASURE = """
import os, sys
pid = os.fork()
if pid == 0:
    try:
        os.execvp(sys.argv[2], sys.argv[2:])
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
with open(sys.argv[1], "w") as report:
    report.write("%d\\n" % usage.ru_maxrss)
code = os.waitstatus_to_exitcode(status)
sys.exit(code if code >= 0 else 128 - code)
"""


def run_measured(c, timeout=300):
    """Runs the launcher like Platform.run, with its output in files, and returns the Result and
    its peak resident memory in KiB: ru_maxrss from wait4.

    The figure is the largest of the launcher's process over its whole life (across exec, and
    counting the few MiB of the small forking interpreter) and of every child that it reaped
    itself; the game it starts is not waited for and does not count. Natively that is the
    launcher alone (it starts the game with posix_spawn). Under Wine it is the Windows program
    with the Wine loader, ntdll and the mapped Windows DLLs (shared pages count as resident), and
    the forked copies of it that Wine reaps (its ntlm_auth probe, the intermediate fork of
    CreateProcess); wineserver and Wine's service processes run apart and do not count."""
    command, environment = c.platform.command(c.game_dir, (), None)
    report = os.path.join(scenario_folder(c), "peak.txt")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([sys.executable, "-S", "-c", MEASURE, report] + command,
                                   cwd=tempfile.gettempdir(), env=environment,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   start_new_session=True)
        try:
            code = process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            code = process.wait()
        out.seek(0)
        err.seek(0)
        result = Result(code, c.platform.text(out.read()), c.platform.text(err.read()))
    with open(report) as file:
        peak = int(file.read())
    os.remove(report)
    return result, peak


def files_named_like(folder, text):
    """Paths below folder whose name holds text."""
    found = []
    for parent, folders, names in os.walk(folder):
        found += [os.path.join(parent, n) for n in folders + names if text in n]
    return found


# --- tampered documents -----------------------------------------------------------------------


def expect_flips_refused(c, path, document, positions, reason, mask, name):
    """Over the installed package, serves document at path with one byte flipped at each
    position in turn: every run starts the installed version, leaves the game folder as it was
    and fetches no package file."""
    installed = game_folder(c)
    since = len(c.server.requests())
    for what, index in positions.items():
        c.server.put(path, flipped(document, index, mask))
        expect_installed_start(c, c.run(), reason, what)
        expect_game_folder(c, installed, what)
    check_equal(package_requests(c, since), [], "package requests after a tampered " + name)


def catalogue_with_a_flipped_byte(c):
    """A catalogue that differs from the signed one in one byte, served with the original's .sig:
    refused before anything is saved, on a first run and over an installed package."""
    c.add_game_exe()
    c.publish()
    reason = c.unsigned("games.json: the signature does not match")
    positions = {"the first byte": 0,
                 "a digit of steam_appid": c.catalogue.index(b'"steam_appid": 480') + 17,
                 "the final newline": len(c.catalogue) - 1}
    empty = game_folder(c)
    c.server.put("/games.json", flipped(c.catalogue, positions["a digit of steam_appid"]))
    result = c.run()
    c.expect_fatal(result, [c.not_installed(reason)])
    expect_game_folder(c, empty, "first run")

    c.server.reset()
    c.install_package()
    expect_flips_refused(c, "/games.json", c.catalogue, positions, reason, 0x01, "catalogue")


def manifest_with_a_flipped_byte(c):
    """A newer manifest changed in one byte after signing: nothing is fetched or replaced."""
    c.install_package()
    new_package(c)
    reason = c.unsigned("the manifest: the signature does not match")
    positions = {"the first byte": 0,
                 "a digit of data.txt's sha256": c.manifest.index(sha256(c.files["data.txt"])
                                                                  .encode()) + 10,
                 "the final newline": len(c.manifest) - 1}
    expect_flips_refused(c, "/one/manifest.json", c.manifest, positions, reason, 0x02,
                         "manifest")


def documents_signed_by_an_unknown_key(c):
    """Well-formed Ed25519 signatures by a key the launcher does not hold."""
    c.install_package()
    installed = game_folder(c)
    since = len(c.server.requests())
    key = os.path.join(scenario_folder(c), "unknown.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ED25519", "-out", key], check=True,
                   stdout=subprocess.DEVNULL)
    unknown = Signer(key)
    new_package(c)
    catalogue_sig = (unknown.signature_hex(c.catalogue) + "\n").encode()
    manifest_sig = (unknown.signature_hex(c.manifest) + "\n").encode()
    check(catalogue_sig != signature_text(c, c.catalogue).encode(), "a second key was made")
    cases = [
        ("the catalogue", {"/games.json.sig": catalogue_sig},
         c.unsigned("games.json: the signature does not match")),
        ("the manifest", {"/one/manifest.json.sig": manifest_sig},
         c.unsigned("the manifest: the signature does not match")),
        ("both", {"/games.json.sig": catalogue_sig, "/one/manifest.json.sig": manifest_sig},
         c.unsigned("games.json: the signature does not match")),
    ]
    for what, signatures, reason in cases:
        c.publish()
        for path, data in signatures.items():
            c.server.put(path, data)
        expect_installed_start(c, c.run(), reason, what)
        expect_game_folder(c, installed, what)
    check_equal(package_requests(c, since), [], "package requests")


def signatures_swapped_between_documents(c):
    """A valid signature of the one document served as the other's."""
    c.install_package()
    installed = game_folder(c)
    catalogue_sig = signature_text(c, c.catalogue).encode()
    manifest_sig = signature_text(c, c.manifest).encode()
    cases = [
        ("the manifest's signature for the catalogue", "/games.json.sig", manifest_sig,
         c.unsigned("games.json: the signature does not match")),
        ("the catalogue's signature for the manifest", "/one/manifest.json.sig", catalogue_sig,
         c.unsigned("the manifest: the signature does not match")),
    ]
    for what, path, data, reason in cases:
        c.publish()
        c.server.put(path, data)
        expect_installed_start(c, c.run(), reason, what)
        expect_game_folder(c, installed, what)


def signatures_of_the_wrong_length(c):
    """Signature files one digit short, one digit long, or with one character that is not hex."""
    c.install_package()
    installed = game_folder(c)
    since = len(c.server.requests())
    new_package(c)
    documents = [("/games.json.sig", c.catalogue, "games.json"),
                 ("/one/manifest.json.sig", c.manifest, "the manifest")]
    for path, document, name in documents:
        good = c.signer.signature_hex(document)
        variants = {"127 digits": good[:127], "129 digits": good + good[0],
                    "128 with a g inside": good[:64] + "g" + good[65:],
                    "128 with an x first": "x" + good[1:]}
        for variant, text in variants.items():
            what = "%s: %s" % (name, variant)
            c.publish()
            c.server.put(path, (text + "\r\n").encode())
            expect_installed_start(
                c, c.run(), c.unsigned(name + ": the signature is not 128 hex digits"), what)
            expect_game_folder(c, installed, what)
    check_equal(package_requests(c, since), [], "package requests")


# --- hostile file names -----------------------------------------------------------------------

RESERVED = "is a Windows reserved device name"
HOSTILE_NAMES = [
    ("..\\" + ESCAPE, "contains \\"),
    ("../" + ESCAPE, "contains /"),
    ("..\\..\\" + ESCAPE, "contains \\"),
    ("../../" + ESCAPE, "contains /"),
    ("/tmp/" + ESCAPE, "contains /"),
    ("\\" + ESCAPE, "contains \\"),
    ("C:" + ESCAPE, "contains :"),
    ("C:\\" + ESCAPE, "contains :"),
    (ESCAPE + ":stream", "contains :"),
    ("..", "is . or .."),
    (".", "is . or .."),
    (ESCAPE + "..", "contains .."),
    ("CON", RESERVED),
    ("con.txt", RESERVED),
    ("NUL", RESERVED),
    ("nul.tar.gz", RESERVED),
    ("Con .txt", RESERVED),
    ("AUX", RESERVED),
    ("prn.log", RESERVED),
    ("COM1", RESERVED),
    ("lpt9.dat", RESERVED),
    ("CONIN$", RESERVED),
    ("clock$.log", RESERVED),
    ("com\u00b2", RESERVED),
    (ESCAPE + ".", "ends with ."),
    (ESCAPE + ". . .", "ends with ."),
    ("CON.", "ends with ."),
    (ESCAPE + " ", "ends with a space"),
    (ESCAPE + ". ", "ends with a space"),
    ("NUL ", "ends with a space"),
    (" " + ESCAPE, "starts with a space"),
    (ESCAPE + "\tx", "contains a control character"),
    (ESCAPE + "?", 'contains a character Windows does not allow (< > " | ? *)'),
]
# Names equal to an earlier entry but for letter case: they would land on that entry's file.
CASE_TWINS = ["DATA.TXT", "Data.txt", "COOP.EXE"]


def manifest_with_entry(c, name, content):
    entries = [{"name": n, "size": len(d), "sha256": sha256(d)} for n, d in c.files.items()]
    entries.append({"name": name, "size": len(content), "sha256": sha256(content)})
    return (json.dumps({"version": "1.0.1", "files": entries}, indent=2) + "\n").encode()


def manifest_names_outside_the_package_folder(c):
    """Signed manifests naming paths, drive-relative names, devices, names that Windows trims and
    case twins: each refused with the name and the rule, nothing fetched or written anywhere."""
    c.install_package()
    installed = game_folder(c)
    content = "written by a hostile manifest\n"
    cases = [(name, "it " + reason) for name, reason in HOSTILE_NAMES]
    cases += [(name, None) for name in CASE_TWINS]
    for name, reason in cases:
        c.server.reset()
        c.publish()
        c.put_signed("/one/manifest.json", manifest_with_entry(c, name, content.encode()))
        # Whatever URL the name would make, the server answers it with the listed content.
        c.server.set_faults({"/one/" + name: {"body": content}})
        # The console shows a control character of the name as U+FFFD.
        shown_name = name.replace("\t", "\ufffd")
        if reason is None:
            problem = 'file name "%s" is listed twice' % shown_name
        else:
            problem = 'rejected file name "%s": %s' % (shown_name, reason)
        what = "the name %r" % name
        expect_installed_start(c, c.run(), c.unreadable(problem), what)
        expect_game_folder(c, installed, what)
        check_equal(package_requests(c, 0), [], "%s: package requests" % what)
    # The escapes that would leave the game folder: the folders above it, the run's current
    # folder, the root, and Wine's drive C (where a drive-relative C:name would go).
    places = [c.work, tempfile.gettempdir(), "/"]
    if c.platform.wine:
        prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
        places.append(os.path.join(prefix, "drive_c"))
    stray = []
    for place in places:
        if place in ("/", tempfile.gettempdir()):
            stray += [os.path.join(place, n) for n in os.listdir(place) if ESCAPE in n]
        else:
            stray += files_named_like(place, ESCAPE)
    check_equal(stray, [], "files written outside the package folder")


# --- the self-update --------------------------------------------------------------------------


@needs_new_build
def self_update_with_a_tampered_build(c):
    """The catalogue announces the genuine new build; the server delivers it with one byte
    changed: discarded, the running launcher stays as it was and carries on."""
    with open(c.new_build, "rb") as file:
        genuine = file.read()
    with open(c.platform.launcher, "rb") as file:
        running = file.read()
    c.install_package()
    installed = game_folder(c)
    for what, index in (("the first byte", 0), ("a byte in the middle", len(genuine) // 2),
                        ("the last byte", len(genuine) - 1)):
        announce_new_build(c, genuine)
        c.server.put("/launcher/new.exe", flipped(genuine, index))
        c.publish()
        result = c.run()
        check_equal(result.code, 0, "%s: exit code\n%r" % (what, result))
        check_equal(result.err_lines(), [
            "self-update: the download does not match its sha256 -- discarded, carrying on as "
            "2.0.0"], "%s: standard error" % what)
        check_equal(result.out_lines(), [
            c.banner(), "self-update: %s is out, this is 2.0.0 -- downloading" % c.new_version,
            c.starting_line()], "%s: standard output" % what)
        c.recorded()
        os.remove(c.recorder_path())
        check_equal(c.server.requests().count("/launcher/new.exe"), 1,
                    "%s: downloads of the new build" % what)
        with open(exe_path(c), "rb") as file:
            check(file.read() == running, "%s: the launcher's own file changed" % what)
        # The one change: the newly verified catalogue, saved as the run went on.
        expected = dict(installed)
        expected[os.path.join("Velm Co-op", "games.json")] = c.catalogue
        expect_game_folder(c, expected, what)
        c.server.reset()


# --- resources --------------------------------------------------------------------------------


def documents_of_several_hundred_mib(c):
    """Each document and signature served as a body of 400 MB (the genuine text, then blanks, so
    that a launcher which reads it all gets a valid document): the run must treat it as no answer
    without holding it in memory, and start the installed version."""
    c.install_package()
    installed = game_folder(c)
    kind = "wine" if c.platform.wine else "native"
    result, baseline = run_measured(c)
    check_equal(result.code, 0, "a run without faults\n%r" % result)
    c.recorded()
    os.remove(c.recorder_path())
    print("INFO peak memory of a run without faults [%s]: %d KiB" % (kind, baseline), flush=True)
    cases = [("/games.json", c.catalogue.decode()),
             ("/games.json.sig", signature_text(c, c.catalogue)),
             ("/one/manifest.json", c.manifest.decode()),
             ("/one/manifest.json.sig", signature_text(c, c.manifest))]
    peaks = []
    for path, prefix in cases:
        c.server.set_faults({path: {"fill": HUGE_BODY, "prefix": prefix}})
        result, peak = run_measured(c)
        print("INFO peak memory with %s of %d bytes [%s]: %d KiB" % (path, HUGE_BODY, kind, peak),
              flush=True)
        what = "%s of %d bytes" % (path, HUGE_BODY)
        expect_installed_start(c, result, "Could not reach " + c.host, what)
        expect_game_folder(c, installed, what)
        peaks.append((path, peak))
    limit = baseline + PEAK_GROWTH_LIMIT_KIB
    check(all(peak <= limit for _, peak in peaks),
          "peak memory above %d KiB: %r" % (limit, peaks))


ALL = [
    catalogue_with_a_flipped_byte,
    manifest_with_a_flipped_byte,
    documents_signed_by_an_unknown_key,
    signatures_swapped_between_documents,
    signatures_of_the_wrong_length,
    manifest_names_outside_the_package_folder,
    self_update_with_a_tampered_build,
    documents_of_several_hundred_mib,
]

