"""The scenarios, each run with the native launcher and with "Velm Co-op.exe" under Wine.

A scenario returns nothing when it passed ("skip" when it does not apply to the platform) and
raises Failure with what differed.
"""

import json
import os
import re
import shutil
import struct
import time

from harness import Failure, check, check_equal, files_below, sha256, wait_for_file

GAME = {"id": "one", "name": "Game One", "exe": "game.exe", "steam_appid": 480,
        "launcher": "coop.exe"}
# In the package folder: the file a launcher locks while it changes the game folder, made by the
# first run and left there.
LOCK_FILE = "..lock"
# The launcher's record of the files it checked, rewritten by every run that reads one.
VERIFIED_FILE = "..verified"


def quote_argument(text):
    """The Windows quoting rules, as the launcher applies them."""
    if text and not any(c in text for c in " \t\n\v\""):
        return text
    result = '"'
    backslashes = 0
    for c in text:
        if c == "\\":
            backslashes += 1
        elif c == '"':
            result += "\\" * (2 * backslashes + 1) + '"'
            backslashes = 0
        else:
            result += "\\" * backslashes + c
            backslashes = 0
    return result + "\\" * (2 * backslashes) + '"'


def size_text(size):
    if size >= 10485760:
        return "%d MB" % (size // 1048576)
    if size >= 1048576:
        return "%.1f MB" % (size / 1048576.0)
    return "%d KB" % (size // 1024)


class Context:
    def __init__(self, platform, server, signer, host, work, new_build, new_version):
        self.platform = platform
        self.server = server
        self.signer = signer
        self.host = host
        self.work = work
        self.new_build = new_build
        self.new_version = new_version
        with open(platform.recorder, "rb") as file:
            self.recorder = file.read()

    # --- set-up -----------------------------------------------------------------------------

    def begin(self, name):
        self.server.reset()
        self.game_dir = os.path.join(self.work, "games", name)
        shutil.rmtree(self.game_dir, ignore_errors=True)
        self.platform.install(self.game_dir)
        self.package_dir = os.path.join(self.game_dir, "Velm Co-op")
        self.games = [dict(GAME)]
        self.launcher_block = {"version": "2.0.0", "url": "https://%s/launcher/new.exe" % self.host,
                               "sha256": "0" * 64, "size": 1}
        self.files = {"coop.exe": self.recorder, "data.txt": b"co-op data\n"}
        self.optional = set()
        self.manifest_version = "1.0.0"

    def manifest_url(self, game_id="one"):
        return "https://%s/%s/manifest.json" % (self.host, game_id)

    def catalogue_bytes(self):
        games = []
        for game in self.games:
            entry = dict(game)
            entry.setdefault("manifest", self.manifest_url(game["id"]))
            games.append(entry)
        document = {"schema": 1, "launcher": self.launcher_block, "games": games}
        return (json.dumps(document, indent=2) + "\n").encode()

    def manifest_bytes(self, files=None, sizes=None, digests=None):
        files = self.files if files is None else files
        entries = []
        for name, content in files.items():
            entry = {"name": name, "size": (sizes or {}).get(name, len(content)),
                     "sha256": (digests or {}).get(name, sha256(content))}
            if name in self.optional:
                entry["required"] = False
            entries.append(entry)
        return (json.dumps({"version": self.manifest_version, "files": entries}, indent=2) +
                "\n").encode()

    def put_signed(self, path, data):
        self.server.put(path, data)
        self.server.put(path + ".sig", (self.signer.signature_hex(data) + "\n").encode())

    def publish(self, manifest=None, served_files=None):
        """The catalogue, the manifest of game one and its files, all signed and served."""
        self.catalogue = self.catalogue_bytes()
        self.put_signed("/games.json", self.catalogue)
        self.manifest = manifest if manifest is not None else self.manifest_bytes()
        self.put_signed("/one/manifest.json", self.manifest)
        for name, content in (served_files if served_files is not None else self.files).items():
            self.server.put("/one/" + name, content)

    def add_game_exe(self, name="game.exe"):
        open(os.path.join(self.game_dir, name), "wb").close()

    def install_package(self):
        """A complete online run, checked, so the scenario starts from an installed package."""
        self.add_game_exe()
        self.publish()
        result = self.run()
        check(result.code == 0, "the installing run failed: %r" % result)
        os.remove(self.recorder_path())

    # --- running ----------------------------------------------------------------------------

    def run(self, arguments=(), env=None, merge=False, timeout=120):
        return self.platform.run(self.game_dir, arguments, env, merge, timeout)

    def folder(self):
        return self.platform.folder_text(self.game_dir)

    def package_folder(self):
        return self.platform.join(self.folder(), "Velm Co-op")

    def banner(self):
        return "Velm Co-op 2.0.0"

    def recorder_path(self):
        return os.path.join(self.package_dir, "recorder.json")

    def recorded(self):
        check(wait_for_file(self.recorder_path()), "the co-op launcher did not start")
        with open(self.recorder_path()) as file:
            return json.load(file)

    def not_installed(self, reason):
        return (reason + ", and Velm Co-op is not installed in " + self.folder() +
                " yet. Connect to the internet and start it again.")

    def unsigned(self, detail):
        return self.host + " sent a file without a valid signature (" + detail + ")"

    def unreadable(self, detail):
        return self.host + " sent a file this version cannot read (" + detail + ")"

    def starting_line(self, game=GAME):
        return "Starting %s with co-op: %s" % (game["name"], game["launcher"])

    def download_lines(self, names):
        return (["[*] downloading %s (%s)" % (n, size_text(len(self.files[n]))) for n in names] +
                ["[+] %s updated" % n for n in names])

    def package_files(self):
        files = files_below(self.package_dir) if os.path.isdir(self.package_dir) else {}
        files.pop("recorder.json", None)
        files.pop(LOCK_FILE, None)
        files.pop(VERIFIED_FILE, None)
        return files

    def expect_fatal(self, result, lines):
        check_equal(result.code, 1, "exit code\n%r" % result)
        check_equal(result.err_lines(), lines + ["Press any key to exit."], "standard error")
        check_equal(result.out_lines(), [self.banner()], "standard output")

    def expect_no_temporaries(self):
        leftovers = [name for name in self.package_files() if name.endswith(".new")]
        check_equal(leftovers, [], "temporary files left in the package folder")


# --- the launcher starts the game -----------------------------------------------------------


def first_run_installs_the_package_and_starts_the_game(c):
    c.add_game_exe()
    c.publish()
    arguments = ["-windowed", "two words", 'say "hi"', "C:\\dir\\"]
    result = c.run(arguments, env={"SteamAppID": "1", "steamgameid": "2"})
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(),
                [c.banner()] + c.download_lines(["coop.exe", "data.txt"]) + [c.starting_line()],
                "standard output")
    record = c.recorded()
    launcher_path = c.platform.join(c.package_folder(), "coop.exe")
    game_path = c.platform.join(c.folder(), "game.exe")
    argument_text = " ".join(quote_argument(a) for a in arguments)
    check_equal(record["commandLine"], quote_argument(launcher_path) + " " +
                quote_argument(game_path) + " " + argument_text, "command line")
    check_equal(record["argv"][1:], [game_path] + arguments, "argv")
    check_equal(record["workingFolder"].rstrip("\\/"), c.package_folder(), "working folder")
    check_equal((record["SteamAppId"], record["SteamGameId"]), ("480", "480"), "Steam ids")
    check_equal(record["steamVariants"], [], "other spellings of the Steam variables")
    installed = c.package_files()
    check_equal(installed.get("games.json"), c.catalogue, "saved games.json")
    check_equal(installed.get("manifest.json"), c.manifest, "saved manifest.json")
    for name, content in c.files.items():
        check(installed.get(name) == content, "%s was not installed as served" % name)
    c.expect_no_temporaries()


def second_run_downloads_nothing(c):
    c.install_package()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.out_lines(), [c.banner(), c.starting_line()], "standard output")
    check_equal(result.err_lines(), [], "standard error")
    check_equal(c.server.requests()[-4:],
                ["/games.json", "/games.json.sig", "/one/manifest.json", "/one/manifest.json.sig"],
                "requests of the second run")
    c.recorded()


def game_exe_in_another_letter_case(c):
    c.add_game_exe("GAME.EXE")
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    record = c.recorded()
    check_equal(record["argv"][1], c.platform.join(c.folder(), "game.exe"),
                "the game exe as the catalogue spells it")


def version_prints_the_banner_alone(c):
    c.publish()
    for arguments in (["--version"],):
        result = c.run(arguments)
        check_equal((result.code, result.stdout, result.stderr), (0, c.banner() + "\n", ""),
                    "--version")
    check_equal(c.server.requests(), [], "requests made for --version")


def no_game_in_the_folder(c):
    c.games = [dict(GAME), dict(GAME, id="two", exe="Other.exe", name="Game Two")]
    c.publish()
    result = c.run()
    c.expect_fatal(result, ["Could not find a Velm modded game in " + c.folder(),
                            "Looking for: game.exe, Other.exe",
                            "Put Velm Co-op.exe next to the game's exe and start it again."])


def several_games_in_the_folder(c):
    c.games = [dict(GAME), dict(GAME, id="two", exe="Other.exe", name="Game Two")]
    c.publish()
    c.add_game_exe("other.exe")
    c.add_game_exe()
    result = c.run()
    c.expect_fatal(result, ["Found more than one Velm modded game in " + c.folder() +
                            ": game.exe, Other.exe",
                            "Velm Co-op.exe can only serve one game per folder."])


def co_op_launcher_that_will_not_start(c):
    c.files["coop.exe"] = b"this is not a program\n"
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 1, "exit code\n%r" % result)
    check_equal(result.out_lines(), [c.banner()] + c.download_lines(["coop.exe", "data.txt"]) +
                [c.starting_line()], "standard output")
    code = 193 if c.platform.wine else 8  # not a valid program: ERROR_BAD_EXE_FORMAT, ENOEXEC
    check_equal(result.err_lines(), ["Could not start %s (error %d)" % (
        c.platform.join(c.package_folder(), "coop.exe"), code), "Press any key to exit."],
        "standard error")


def catalogue_answering_404(c):
    c.add_game_exe()
    c.publish()
    c.server.set_faults({"/games.json": {"status": 404}})
    c.expect_fatal(c.run(), [c.not_installed("Could not reach " + c.host)])


def signature_answering_404(c):
    c.add_game_exe()
    c.publish()
    c.server.set_faults({"/games.json.sig": {"status": 404}})
    c.expect_fatal(c.run(), [c.not_installed(c.unsigned(
        "games.json is not signed: https://%s/games.json.sig said HTTP 404" % c.host))])
    check(not os.path.exists(os.path.join(c.package_dir, "games.json")),
          "an unsigned catalogue was saved")


def tampered_catalogue(c):
    c.add_game_exe()
    c.publish()
    c.server.put("/games.json", c.catalogue.replace(b"Game One", b"Game 0ne"))
    c.expect_fatal(c.run(), [c.not_installed(c.unsigned(
        "games.json: the signature does not match"))])


def malformed_signature(c):
    c.add_game_exe()
    c.publish()
    c.server.put("/games.json.sig", b"0x" + c.signer.signature_hex(c.catalogue).encode())
    c.expect_fatal(c.run(), [c.not_installed(c.unsigned(
        "games.json: the signature is not 128 hex digits"))])


def invalid_catalogue(c):
    c.add_game_exe()
    c.games = []
    c.publish()
    c.expect_fatal(c.run(), [c.not_installed(c.unreadable("games: has no entries"))])


def first_run_without_a_server(c):
    c.add_game_exe()
    c.server.stop()
    try:
        result = c.run()
    finally:
        c.server.start()
    c.expect_fatal(result, [c.not_installed("Could not reach " + c.host)])


def offline_before_any_install(c):
    c.add_game_exe()
    c.publish()
    c.expect_fatal(c.run(env={"VELM_COOP_OFFLINE": "1"}),
                   [c.not_installed("Could not reach " + c.host)])
    check_equal(c.server.requests(), [], "requests made offline")


# --- the package ----------------------------------------------------------------------------


def offline_after_a_complete_run(c):
    c.install_package()
    result = c.run(env={"VELM_COOP_OFFLINE": "1"})
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(),
                ["Could not reach %s -- starting the installed version." % c.host],
                "standard error")
    check_equal(result.out_lines(), [c.banner(), c.starting_line()], "standard output")
    c.recorded()


def offline_switch_reads_only_a_leading_one_that_fits(c):
    c.install_package()
    for value, offline in (("1", True), ("1x", True), ("1234567", True), ("12345678", False),
                           ("0", False), ("", False), ("true", False)):
        c.server.reset()
        c.publish()
        result = c.run(env={"VELM_COOP_OFFLINE": value})
        check_equal(result.code, 0, "exit code with VELM_COOP_OFFLINE=%r\n%r" % (value, result))
        expected = ["Could not reach %s -- starting the installed version." % c.host] if offline else []
        check_equal(result.err_lines(), expected, "standard error with VELM_COOP_OFFLINE=%r" % value)
        check_equal(c.server.requests() == [], offline, "offline with VELM_COOP_OFFLINE=%r" % value)


def offline_after_a_required_file_was_deleted(c):
    c.install_package()
    os.remove(os.path.join(c.package_dir, "data.txt"))
    c.expect_fatal(c.run(env={"VELM_COOP_OFFLINE": "1"}),
                   [c.not_installed("Could not reach " + c.host)])


def full_check_only_on_request(c):
    """An up-to-date start reads no file, so it leaves the record of verified files as it was;
    VELM_COOP_VERIFY=1 hashes every file, and the record is written again."""
    c.install_package()
    # Files written well before the record: after one more start they are trusted.
    back = time.time() - 10
    for name in c.files:
        os.utime(os.path.join(c.package_dir, name), (back, back))
    record = os.path.join(c.package_dir, VERIFIED_FILE)

    def record_rewritten(env):
        before = os.stat(record)
        result = c.run(env=env)
        check_equal(result.out_lines(), [c.banner(), c.starting_line()],
                    "standard output with %r" % env)
        after = os.stat(record)
        return (before.st_ino, before.st_mtime_ns) != (after.st_ino, after.st_mtime_ns)

    check(record_rewritten({}), "the start after the times changed hashed nothing")
    check(not record_rewritten({}), "an up-to-date start hashed a file")
    check(record_rewritten({"VELM_COOP_VERIFY": "1"}), "VELM_COOP_VERIFY=1 hashed nothing")
    check(not record_rewritten({"VELM_COOP_VERIFY": "0"}), "VELM_COOP_VERIFY=0 hashed a file")


def corrupted_file_is_fetched_again(c):
    c.install_package()
    with open(os.path.join(c.package_dir, "data.txt"), "wb") as file:
        file.write(b"co-op dat4\n")
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.out_lines(),
                [c.banner()] + c.download_lines(["data.txt"]) + [c.starting_line()],
                "standard output")
    check_equal(c.package_files()["data.txt"], c.files["data.txt"], "the repaired file")


def large_file_shows_progress(c):
    c.files["big.bin"] = bytes(range(256)) * (5 * 4096 + 7)  # a little over 5 MiB
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    lines = result.out_lines()
    big = [line for line in lines if "big.bin" in line and "\r" in line]
    check(len(big) == 1, "one progress line for big.bin: %r" % lines)
    progress = big[0]
    check(lines[lines.index(progress) - 1] == "[*] downloading big.bin (5.0 MB)",
          "the progress follows the download line: %r" % lines)
    # Which percentages show depends on the chunks the network delivers; 100 always does.
    check(progress.startswith("\r[*] big.bin  "), "a progress line: %r" % progress[:80])
    check("\r[*] big.bin  100%\r" in progress, "the progress reaches 100 %")
    check(progress.endswith("\r" + " " * 40 + "\r[+] coop.exe updated"),
          "the progress line is blanked before the next line: %r" % progress[-80:])
    shown = [int(part.split()[-1].rstrip("%")) for part in progress.split("\r")[1:-2]]
    check(all(p % 5 == 0 for p in shown) and shown == sorted(set(shown)),
          "percentages are rising multiples of 5: %r" % shown)


def failing_required_download(c, fault, reason):
    c.install_package()
    old = c.package_files()
    c.files["data.txt"] = b"co-op data, version 2\n"
    c.manifest_version = "1.0.1"
    c.publish()
    c.server.set_faults(fault)
    result = c.run()
    message = "data.txt " + reason + " -- nothing was replaced"
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.out_lines(), [c.banner(), "[*] downloading data.txt (0 KB)",
                                     "[!] " + message, c.starting_line()], "standard output")
    check_equal(result.err_lines(),
                ["Could not update Velm Co-op (%s) -- starting the installed version." % message],
                "standard error")
    new = c.package_files()
    check_equal(new.pop("games.json"), c.catalogue, "the catalogue is saved")
    old.pop("games.json")
    check_equal(new, old, "the package after a failed download")
    c.recorded()


def required_file_answering_404(c):
    failing_required_download(c, {"/one/data.txt": {"status": 404}},
                              "the server said HTTP 404")


def required_file_a_byte_too_long(c):
    failing_required_download(c, {"/one/data.txt": {"body": "co-op data, version 2\n+"}},
                              "is larger than the 22 bytes the manifest says")


def required_file_cut_short(c):
    failing_required_download(c, {"/one/data.txt": {"cut_after": 5}}, "no answer from the server")


def required_file_with_wrong_content(c):
    failing_required_download(c, {"/one/data.txt": {"body": "co-op data, version 3\n"}},
                              "does not match its sha256")


def optional_file_that_fails_is_skipped(c):
    c.files["extra.pak"] = b"optional content"
    c.optional.add("extra.pak")
    c.add_game_exe()
    c.publish()
    c.server.set_faults({"/one/extra.pak": {"status": 404}})
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.out_lines(), [
        c.banner(), "[*] downloading coop.exe (%s)" % size_text(len(c.recorder)),
        "[*] downloading data.txt (0 KB)", "[*] downloading extra.pak (0 KB)",
        "[!] extra.pak the server said HTTP 404 -- skipped, it is optional",
        "[+] coop.exe updated", "[+] data.txt updated", c.starting_line()], "standard output")
    check("extra.pak" not in c.package_files(), "the optional file was installed")
    check_equal(c.package_files().get("manifest.json"), c.manifest, "the manifest is saved")


def manifest_problems_fall_back_to_the_installed_version(c):
    c.install_package()
    url = c.manifest_url()
    cases = [
        ({"/one/manifest.json.sig": {"status": 403}}, None,
         c.unsigned("the manifest is not signed: %s.sig said HTTP 403" % url)),
        ({"/one/manifest.json": {"body": c.manifest.decode() + " "}}, None,
         c.unsigned("the manifest: the signature does not match")),
        ({}, b'{"version": "1.0", "files": []}',
         c.unreadable('"version" is neither N nor X.Y.Z: 1.0')),
        ({}, c.manifest_bytes(files={"data.txt": c.files["data.txt"]}),
         c.unreadable("the manifest does not list coop.exe as a required file")),
        ({"/one/manifest.json": {"status": 500}}, None, "Could not reach " + c.host),
    ]
    for faults, manifest, reason in cases:
        if manifest is not None:
            c.put_signed("/one/manifest.json", manifest)
        c.server.set_faults(faults)
        result = c.run()
        check_equal(result.code, 0, "exit code\n%r" % result)
        check_equal(result.err_lines(), [reason + " -- starting the installed version."],
                    "standard error")
        c.recorded()
        os.remove(c.recorder_path())
        c.put_signed("/one/manifest.json", c.manifest)


def file_held_by_the_running_game(c):
    if not c.platform.wine:
        return "skip"  # only Windows keeps a file that a running program holds
    c.install_package()
    old = c.package_files()
    # The "game" (the recorder) holds data.txt open for 15 s, longer than the next launcher run
    # waits for it.
    code = c.platform.run_silently(c.game_dir, env={"VELM_RECORDER_HOLD": "data.txt",
                                                    "VELM_RECORDER_HOLD_MS": "15000"})
    check_equal(code, 0, "exit code of the run that starts the game")
    c.recorded()
    time.sleep(1)  # the record is written just before the file is taken
    os.remove(c.recorder_path())
    c.files["data.txt"] = b"co-op data, version 2\n"
    c.publish()
    started = time.time()
    result = c.run()
    waited = time.time() - started
    check_equal(result.code, 0, "exit code\n%r" % result)
    lines = result.out_lines()
    # The launcher waits for the file, says so once, and gives up after its 5 s.
    check_equal(lines[:3], [c.banner(), "[*] downloading data.txt (0 KB)",
                            "[*] waiting for data.txt, which another program holds"],
                "standard output")
    failure = lines[3] if len(lines) > 3 else ""
    match = re.fullmatch(r"\[!\] could not replace data\.txt \((\S.*\S)\) -- is the game running\?",
                         failure)
    check(match is not None, "the replace failure with the system's words: %r" % lines)
    check_equal(lines[4:], [c.starting_line()], "the installed version starts")
    check(waited >= 5, "the launcher gave up after %.1f s, before its 5 s of waiting" % waited)
    check_equal(result.err_lines(), ["Could not update Velm Co-op (%s) -- starting the installed "
                                     "version." % failure[4:]], "standard error")
    now = c.package_files()
    check_equal(now, old, "the package after the failed replace (the held file is old)")
    c.expect_no_temporaries()
    c.recorded()


# --- the self-update ------------------------------------------------------------------------


def needs_new_build(scenario):
    """A self-update scenario runs only when the harness was given a newer build."""
    def run(c):
        return scenario(c) if c.new_build and c.new_version else "skip"
    run.__name__ = scenario.__name__
    return run


def announce_new_build(c, content, **changes):
    """Announces a newer launcher build with the given content (and block changes)."""
    c.server.put("/launcher/new.exe", content)
    c.launcher_block = {"version": c.new_version,
                        "url": "https://%s/launcher/new.exe" % c.host,
                        "sha256": sha256(content), "size": len(content)}
    c.launcher_block.update(changes)


def exe_path(c):
    return os.path.join(c.game_dir, c.platform.exe_name)


def aside_path(c):
    name = c.platform.exe_name
    if name.lower().endswith(".exe"):
        return os.path.join(c.game_dir, name[:-4] + ".old.exe")
    return os.path.join(c.game_dir, name + ".old")


def expect_only_the_launchers_file(c):
    """After a self-update, kept or rolled back: neither the new build's .new file nor the
    moved-aside name is left beside the launcher."""
    check(not os.path.lexists(exe_path(c) + ".new"), "the new build's .new file is left")
    check(not os.path.lexists(aside_path(c)), "the moved-aside name is left")


def launcher_bytes(c):
    with open(exe_path(c), "rb") as file:
        return file.read()


@needs_new_build
def self_update_replaces_the_launcher(c):
    with open(c.new_build, "rb") as file:
        new = file.read()
    announce_new_build(c, new)
    c.add_game_exe()
    c.publish()
    result = c.run(merge=True)
    check_equal(result.code, 0, "exit code of the old build\n%r" % result)
    record = c.recorded()  # the new build went on to start the game
    check(record["argv"][1].endswith("game.exe"), "the game was started: %r" % record)
    lines = result.out_lines()
    old_lines = [c.banner(), "self-update: %s is out, this is 2.0.0 -- downloading" % c.new_version,
                 "self-update: updated to %s -- restarting" % c.new_version]
    check_equal(lines[:3], old_lines, "the old build's lines")
    check_equal(lines[3:], ["Velm Co-op " + c.new_version] +
                c.download_lines(["coop.exe", "data.txt"]) + [c.starting_line()],
                "the new build's lines (no update check of its own)")
    check(launcher_bytes(c) == new, "the new build is in the launcher's place")
    for _ in range(100):
        if not os.path.exists(aside_path(c)):
            break
        time.sleep(0.05)
    expect_only_the_launchers_file(c)


def failed_self_update(c, content, changes, lines):
    with open(c.platform.launcher, "rb") as file:
        old = file.read()
    announce_new_build(c, content, **changes)
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), lines, "standard error")
    check_equal(result.out_lines()[-1], c.starting_line(), "the old build carries on")
    c.recorded()
    check(launcher_bytes(c) == old, "the running build stays under its own name")
    expect_only_the_launchers_file(c)
    return result


@needs_new_build
def self_update_size_mismatch(c):
    content = b"MZ" + b"\0" * 998
    failed_self_update(c, content, {"size": 1001}, [
        "self-update: the download is 1000 bytes, games.json says 1001 -- discarded, carrying on "
        "as 2.0.0"])


@needs_new_build
def self_update_digest_mismatch(c):
    content = b"MZ" + b"\1" * 998
    failed_self_update(c, content, {"sha256": sha256(b"other").upper()}, [
        "self-update: the download does not match its sha256 -- discarded, carrying on as 2.0.0"])


@needs_new_build
def self_update_unparsable_version(c):
    failed_self_update(c, b"x", {"version": "2147483648.0.0"}, [
        'self-update: the server\'s launcher version "2147483648.0.0" is not MAJOR.MINOR.PATCH '
        "-- carrying on as 2.0.0"])
    check("/launcher/new.exe" not in c.server.requests(), "nothing was downloaded")


@needs_new_build
def self_update_upper_case_scheme(c):
    failed_self_update(c, b"x", {"url": "HTTPS://%s/launcher/new.exe" % c.host}, [
        "self-update: the server's launcher block is incomplete -- carrying on as 2.0.0"])


@needs_new_build
def self_update_new_build_will_not_start(c):
    content = b"this is not a program\n" * 50
    announce_new_build(c, content)
    c.add_game_exe()
    c.publish()
    with open(c.platform.launcher, "rb") as file:
        old = file.read()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    errors = result.err_lines()
    check(len(errors) == 2 and errors[0].startswith("self-update: the new exe would not start (error ")
          and errors[0].endswith(")"), "the io's own line: %r" % errors)
    check_equal(errors[1], "self-update: the new exe would not start -- the old one is back, "
                "carrying on as 2.0.0", "M9")
    check(launcher_bytes(c) == old, "the old build is back in place")
    expect_only_the_launchers_file(c)
    c.recorded()


def identity_span(build):
    """(offset, size) of the .velmid section of a PE or a 64-bit ELF build, by its section
    table."""
    if build[:2] == b"MZ":
        pe = struct.unpack_from("<I", build, 0x3C)[0]
        count, optional = struct.unpack_from("<H12xH", build, pe + 6)
        for index in range(count):
            header = pe + 24 + optional + 40 * index
            if build[header:header + 8] == b".velmid\0":
                size, _, _, offset = struct.unpack_from("<IIII", build, header + 8)
                return offset, size
    else:
        table = struct.unpack_from("<Q", build, 0x28)[0]
        count, names_index = struct.unpack_from("<HH", build, 0x3C)
        names = struct.unpack_from("<Q", build, table + 64 * names_index + 0x18)[0]
        for index in range(count):
            name = names + struct.unpack_from("<I", build, table + 64 * index)[0]
            if build[name:name + 8] == b".velmid\0":
                return struct.unpack_from("<QQ", build, table + 64 * index + 0x18)
    raise Failure("the build has no .velmid section")


@needs_new_build
def self_update_to_a_build_with_another_key(c):
    """The newer build, its trusted keys replaced by one that signed nothing, would refuse every
    catalogue from now on: the running build discards it and starts the game itself."""
    with open(c.new_build, "rb") as file:
        build = file.read()
    offset, _ = identity_span(build)
    count, host_length = build[offset + 5], struct.unpack_from("<H", build, offset + 6)[0]
    keys = offset + 8 + host_length
    build = build[:keys] + b"\x11" * 32 * count + build[keys + 32 * count:]
    failed_self_update(c, build, {}, [
        "self-update: the new build does not trust the key that signed games.json -- discarded, "
        "carrying on as 2.0.0"])
    check("/launcher/new.exe" in c.server.requests(), "the build was downloaded")


ALL = [
    first_run_installs_the_package_and_starts_the_game,
    second_run_downloads_nothing,
    game_exe_in_another_letter_case,
    version_prints_the_banner_alone,
    no_game_in_the_folder,
    several_games_in_the_folder,
    co_op_launcher_that_will_not_start,
    catalogue_answering_404,
    signature_answering_404,
    tampered_catalogue,
    malformed_signature,
    invalid_catalogue,
    first_run_without_a_server,
    offline_before_any_install,
    offline_after_a_complete_run,
    offline_switch_reads_only_a_leading_one_that_fits,
    offline_after_a_required_file_was_deleted,
    full_check_only_on_request,
    corrupted_file_is_fetched_again,
    large_file_shows_progress,
    required_file_answering_404,
    required_file_a_byte_too_long,
    required_file_cut_short,
    required_file_with_wrong_content,
    optional_file_that_fails_is_skipped,
    manifest_problems_fall_back_to_the_installed_version,
    file_held_by_the_running_game,
    self_update_replaces_the_launcher,
    self_update_size_mismatch,
    self_update_digest_mismatch,
    self_update_unparsable_version,
    self_update_upper_case_scheme,
    self_update_new_build_will_not_start,
    self_update_to_a_build_with_another_key,
]
