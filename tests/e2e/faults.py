"""End-to-end scenarios of a broken network, a full disk, a read-only folder and a held file:
each ends with the exact message and the installed package unchanged and still startable.

A file held open by the running game is scenarios.file_held_by_the_running_game; a package file
cut short is scenarios.required_file_cut_short, a manifest answering 500 is part of
scenarios.manifest_problems_fall_back_to_the_installed_version.
"""

import contextlib
import json
import os
import re
import shutil
import subprocess
import time

from harness import Failure, check, check_equal, files_below, wait_for_file
from scenarios import (LOCK_FILE, VERIFIED_FILE, announce_new_build, aside_path, exe_path, launcher_bytes, needs_new_build,
                       size_text)

NEW_DATA = b"co-op data, version 2\n"
# What a launcher says when another one holds the game folder for more than a second.
WAITING_LINE = "[*] waiting for another Velm Co-op in this folder"
# What a launcher says of a file that another program holds for more than a second.
HELD_LINE = re.compile(r"\[\*\] waiting for .+, which another program holds")


# --- helpers ----------------------------------------------------------------------------------


def fallback_line(reason):
    return reason + " -- starting the installed version."


def publish_update(c, **files):
    """A new manifest version with changed files (data.txt by default), signed and served."""
    c.files.update(files or {"data.txt": NEW_DATA})
    c.manifest_version = "1.0.1"
    c.publish()


def expect_installed_start(c, result, errors, output=None):
    """The run fell back: exit 0, exactly these error lines, the game started."""
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), errors, "standard error")
    check_equal(result.out_lines(), output or [c.banner(), c.starting_line()],
                "standard output")


def expect_unchanged(c, old):
    """Byte for byte (the saved catalogue may be written again, with the same bytes). Called
    once the game's record is complete, so that its temporary file is gone."""
    check_equal(c.package_files(), old, "the installed package after the failure")
    c.expect_no_temporaries()


def expect_fallback_with_package_kept(c, result, reason, old, what):
    """One case of a table: the fallback line alone, the game started, the package as it was.
    The game's record is removed for the next case."""
    try:
        expect_installed_start(c, result, [fallback_line(reason)])
        c.recorded()
        expect_unchanged(c, old)
    except Failure as failure:
        raise Failure("%s: %s" % (what, failure))
    os.remove(c.recorder_path())


def expect_failed_update(c, result, message, downloads=("data.txt",)):
    """A required file failed: its "[!]" line, the fallback, and the installed version starts."""
    output = ([c.banner()] +
              ["[*] downloading %s (%s)" % (n, size_text(len(c.files[n]))) for n in downloads] +
              ["[!] " + message, c.starting_line()])
    expect_installed_start(c, result, [fallback_line("Could not update Velm Co-op (%s)" % message)],
                           output)


def mount(*arguments):
    subprocess.run(["mount"] + list(arguments), check=True, stdout=subprocess.DEVNULL)


def unmount(folder):
    # Lazily: a game that was just started may still have its working folder in there.
    subprocess.run(["umount", "-l", folder], check=True)


def wine_server_pids():
    """The wineserver processes of this run's WINEPREFIX (they work in its server folder)."""
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    info = os.stat(prefix)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as file:
                if not file.read().startswith("wineserver"):
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == folder:
                pids.append(int(entry))
        except OSError:
            continue  # gone meanwhile
    return pids


def let_wine_see_this_namespace(c):
    """Wine opens every file inside its wineserver: a server that was started outside this run's
    private mount namespace (one kept warm for the whole test run, say) would write below a
    mount made here. Such a server is stopped, so the next Wine program starts one in here."""
    if not c.platform.wine:
        return
    ours = os.readlink("/proc/self/ns/mnt")
    outside = []
    for pid in wine_server_pids():
        try:
            if os.readlink("/proc/%d/ns/mnt" % pid) != ours:
                outside.append(pid)
        except OSError:
            continue
    if not outside:
        return
    subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineboot"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)
    for pid in wine_server_pids():
        check(os.readlink("/proc/%d/ns/mnt" % pid) == ours,
              "the wineserver still runs outside this run's mount namespace")


def record_outside_the_package(c):
    """The environment that makes the recorder write its record beside the game folder, for a
    package folder that cannot be written; and that record's path."""
    path = c.game_dir + "-record.json"
    if os.path.exists(path):
        os.remove(path)
    return {"VELM_RECORDER_OUT": c.platform.folder_text(path)}, path


@contextlib.contextmanager
def small_disk_under(folder, spare):
    """folder moved onto a tmpfs of its own whose free space is about spare bytes."""
    aside = folder + ".aside"
    shutil.rmtree(aside, ignore_errors=True)
    shutil.copytree(folder, aside)
    used = 0
    for parent, _, names in os.walk(aside):
        for name in names:
            used += (os.path.getsize(os.path.join(parent, name)) + 4095) // 4096 * 4096
    mount("-t", "tmpfs", "-o", "size=%dk,mode=755" % ((used + spare) // 1024), "velm-full-disk",
          folder)
    try:
        shutil.copytree(aside, folder, dirs_exist_ok=True)
        yield
    finally:
        unmount(folder)
        shutil.rmtree(aside, ignore_errors=True)


@contextlib.contextmanager
def read_only(folder):
    mount("--bind", folder, folder)
    try:
        mount("-o", "remount,bind,ro", folder)
        yield
    finally:
        unmount(folder)


# --- the network ------------------------------------------------------------------------------


def stalled_package_file_times_out(c):
    # Two minutes of time-outs; the requests that follow a cut are the cut scenarios', which the
    # sanitizer build runs.
    if os.environ.get("VELM_E2E_SANITIZED"):
        return "skip"
    c.install_package()
    old = c.package_files()
    publish_update(c)
    # Headers and 5 bytes, then silence for longer than the 30-s receive time-out: for the first
    # request and for the three that go on from byte 5, 1, 2 and 4 s apart.
    c.server.set_faults({"/one/data.txt": {"stall_after": 5, "stall_seconds": 45}})
    started = time.time()
    result = c.run(timeout=240)
    waited = time.time() - started
    expect_failed_update(c, result, "data.txt no answer from the server -- nothing was replaced")
    check(waited > 4 * 25 + 7, "the run ended after %.1f s, before the time-outs of its four "
          "requests" % waited)
    c.recorded()
    expect_unchanged(c, old)


def documents_cut_mid_body_fall_back(c):
    c.install_package()
    old = c.package_files()
    reach = "Could not reach " + c.host
    cases = [
        ("/games.json", {"cut_after": 40}, reach),
        ("/games.json", {"cut_after": 40, "cut_mode": "reset"}, reach),
        ("/games.json.sig", {"cut_after": 64}, reach),
        ("/one/manifest.json", {"cut_after": 40}, reach),
        ("/one/manifest.json.sig", {"cut_after": 64}, reach),
    ]
    for path, fault, reason in cases:
        what = "%s %r" % (path, fault)
        c.server.set_faults({path: fault})
        result = c.run()
        check(path in c.server.requests(), "%s was not asked for" % what)
        expect_fallback_with_package_kept(c, result, reason, old, what)


def catalogue_answering_500(c):
    c.install_package()
    old = c.package_files()
    sig_url = "https://%s/games.json.sig" % c.host
    cases = [
        # The server sends the real catalogue as the body of its 500: it must not count.
        ("/games.json", "Could not reach " + c.host),
        ("/games.json.sig",
         c.unsigned("games.json is not signed: %s said HTTP 500" % sig_url)),
    ]
    for path, reason in cases:
        c.server.set_faults({path: {"status": 500}})
        result = c.run()
        expect_fallback_with_package_kept(c, result, reason, old, "%s answering 500" % path)


def redirects_stay_on_https(c):
    c.install_package()
    old = c.package_files()
    publish_update(c)
    c.server.put("/moved/data.txt", NEW_DATA)
    # A plain listener that serves the same files, so a followed step down to http would
    # succeed and show.
    c.server.stop()
    c.server.start(http_port=0)
    try:
        check(c.server.http_port > 0, "the test server has no plain HTTP listener")
        c.server.set_faults({"/one/data.txt": {
            "redirect": "http://localhost:{http_port}/moved/data.txt", "status": 302}})
        result = c.run()
        check_equal([r for r in c.server.requests_with_scheme() if r[0] != "https"], [],
                    "requests over plain http")
        # WinHTTP fails a request whose redirect changes the scheme (ERROR_WINHTTP_REDIRECT_FAILED):
        # no answer, the same on both platforms.
        expect_failed_update(c, result,
                             "data.txt no answer from the server -- nothing was replaced")
        c.recorded()
        expect_unchanged(c, old)
        os.remove(c.recorder_path())

        # Within https on the same host a redirect is followed.
        c.server.set_faults({"/one/data.txt": {
            "redirect": "https://localhost:{https_port}/moved/data.txt", "status": 301}})
        result = c.run()
        check_equal(result.code, 0, "exit code after an https redirect\n%r" % result)
        check_equal(result.err_lines(), [], "standard error after an https redirect")
        check_equal(result.out_lines(), [c.banner()] + c.download_lines(["data.txt"]) +
                    [c.starting_line()], "standard output after an https redirect")
        check("/moved/data.txt" in c.server.requests(), "the redirect was not followed")
        installed = c.package_files()
        check_equal(installed["data.txt"], NEW_DATA, "data.txt after an https redirect")
        check_equal(installed["manifest.json"], c.manifest, "the saved manifest")
        c.expect_no_temporaries()
        c.recorded()
    finally:
        c.server.stop()
        c.server.start()


def package_file_with_extra_bytes(c):
    c.install_package()
    old = c.package_files()
    publish_update(c)
    # The body is a byte longer than the manifest says, and 64 bytes follow past its
    # Content-Length on the wire.
    c.server.set_faults({"/one/data.txt": {"body": NEW_DATA.decode() + "+", "extra_bytes": 64}})
    result = c.run()
    expect_failed_update(c, result, "data.txt is larger than the %d bytes the manifest says -- "
                         "nothing was replaced" % len(NEW_DATA))
    c.recorded()
    expect_unchanged(c, old)
    os.remove(c.recorder_path())

    # The right body with bytes past its Content-Length: the surplus is no part of the file.
    c.server.set_faults({"/one/data.txt": {"extra_bytes": 64}})
    result = c.run()
    check_equal(result.code, 0, "exit code with surplus bytes\n%r" % result)
    check_equal(result.err_lines(), [], "standard error with surplus bytes")
    check_equal(c.package_files()["data.txt"], NEW_DATA, "data.txt with surplus bytes")
    c.expect_no_temporaries()
    c.recorded()


# --- the disk ---------------------------------------------------------------------------------


def full_disk_during_a_download(c):
    c.files["big.bin"] = b"small for now\n"
    c.install_package()
    old = c.package_files()
    # data.txt arrives first and fits; big.bin does not: nothing may be replaced.
    publish_update(c, **{"data.txt": NEW_DATA, "big.bin": bytes(range(256)) * 8192})
    # The two are fetched at once: big.bin's body waits a second, so that data.txt has its
    # place on the disk before big.bin fills it.
    c.server.set_faults({"/one/big.bin": {"stall_after": 0, "stall_seconds": 1}})
    let_wine_see_this_namespace(c)
    with small_disk_under(c.game_dir, spare=512 * 1024):
        free = os.statvfs(c.game_dir)
        check(free.f_bavail * free.f_frsize < len(c.files["big.bin"]),
              "big.bin would fit on the small disk")
        result = c.run()
        message = "big.bin could not write big.bin.new -- nothing was replaced"
        expect_failed_update(c, result, message, downloads=("data.txt", "big.bin"))
        c.recorded()
        expect_unchanged(c, old)


def read_only_package_folder(c):
    c.install_package()
    old = c.package_files()
    publish_update(c)
    let_wine_see_this_namespace(c)
    env, record = record_outside_the_package(c)
    with read_only(c.package_dir):
        result = c.run(env=env)
    message = "data.txt could not write data.txt.new -- nothing was replaced"
    saved = c.platform.join(c.package_folder(), "games.json")
    expect_installed_start(
        c, result,
        ["Could not save %s -- an offline start will not find the game." % saved,
         fallback_line("Could not update Velm Co-op (%s)" % message)],
        [c.banner(), "[*] downloading data.txt (0 KB)", "[!] " + message, c.starting_line()])
    expect_unchanged(c, old)
    check(wait_for_file(record), "the co-op launcher did not start")
    with open(record) as file:
        started = json.load(file)
    check_equal(started["argv"][1], c.platform.join(c.folder(), "game.exe"), "the game started")


def start_two_launchers(c, busy_path, name):
    """Starts a launcher, and a second one in the same folder once the first has asked for
    busy_path (the request log is written when an answer ends). Each starts its game with its
    own record file. Returns both Results and the record paths."""
    records = [os.path.join(c.work, "%s_%d.json" % (name, n)) for n in (1, 2)]
    for record in records:
        with contextlib.suppress(FileNotFoundError):
            os.remove(record)
    start = lambda n: c.platform.start(c.game_dir, merge=True, env={
        "VELM_RECORDER_OUT": c.platform.folder_text(records[n])})
    first = start(0)
    deadline = time.time() + 60
    while busy_path not in c.server.requests() and first.poll() is None:
        check(time.time() < deadline, "the first launcher never asked for " + busy_path)
        time.sleep(0.05)
    second = start(1)
    results = [c.platform.finish(first), c.platform.finish(second)]
    for result, which in zip(results, ("first", "second")):
        check_equal(result.code, 0, "exit code of the %s launcher\n%r" % (which, result))
    for record in records:
        check(wait_for_file(record), "a launcher did not start the game")
    return results


def expect_complete_package(c):
    package = dict(c.files, **{"games.json": c.catalogue, "manifest.json": c.manifest,
                               LOCK_FILE: b""})
    found = files_below(c.package_dir)
    found.pop(VERIFIED_FILE, None)
    check_equal(found, package, "the package after both runs")


def two_launchers_at_once(c):
    """A double click: the second launcher waits while the first one updates, then finds the
    package up to date. Neither writes into the other's downloads, and neither reports a file
    it did not verify."""
    c.install_package()
    publish_update(c, **{"data.txt": NEW_DATA, "more.pak": bytes(range(256)) * 1024,
                         "last.pak": b"L" * 300000})
    # The first launcher stalls in its last file; the second starts meanwhile.
    c.server.set_faults({"/one/last.pak": {"stall_after": 100000, "stall_seconds": 5}})
    first, second = start_two_launchers(c, "/one/more.pak", "two_launchers")
    updated = ["data.txt", "more.pak", "last.pak"]
    check_equal(first.out_lines(),
                [c.banner()] + c.download_lines(updated) + [c.starting_line()],
                "the first launcher's lines")
    check_equal(second.out_lines(), [c.banner(), WAITING_LINE, c.starting_line()],
                "the second launcher's lines")
    expect_complete_package(c)


@needs_new_build
def two_launchers_during_a_self_update(c):
    """The first old build replaces itself and its new build starts the game. The second one
    follows it; under Windows its own running image is then the first one's moved-aside copy,
    which it cannot delete or move, so it waits for it (up to five seconds each) and goes on as
    it is. The launcher's file ends as the whole new build, and the package is installed once."""
    with open(c.new_build, "rb") as file:
        new = file.read()
    announce_new_build(c, new)
    c.add_game_exe()
    c.publish()
    c.server.set_faults({"/launcher/new.exe": {"stall_after": 65536, "stall_seconds": 3}})
    results = start_two_launchers(c, "/games.json.sig", "two_self_updates")
    downloading = "self-update: %s is out, this is 2.0.0 -- downloading" % c.new_version
    updated = [c.banner(), downloading, "self-update: updated to %s -- restarting" % c.new_version,
               "Velm Co-op " + c.new_version]
    stayed = [c.banner(), downloading,
              "self-update: could not move %s to %s (error 5)" % (
                  c.platform.join(c.folder(), c.platform.exe_name),
                  c.platform.join(c.folder(), os.path.basename(aside_path(c)))),
              "self-update: could not move the running exe aside -- carrying on as 2.0.0"]
    heads = [[updated], [updated, stayed] if c.platform.wine else [updated]]
    package_lines = []
    for result, allowed, which in zip(results, heads, ("first", "second")):
        # Whether a launcher (or the build it started) waited long for the other is timing; so is
        # whether the second found its own image, the first's moved-aside copy, still held.
        lines = [line for line in result.out_lines()
                 if line != WAITING_LINE and not HELD_LINE.fullmatch(line)]
        check(lines[:4] in allowed, "the %s launcher's self-update lines: %r" % (which, lines))
        check_equal(lines[-1], c.starting_line(), "the %s launcher's game start" % which)
        package_lines.append(lines[4:-1])
    # Whichever run came first installed the package; the other found it done.
    check_equal(sorted(package_lines), [[], c.download_lines(["coop.exe", "data.txt"])],
                "the package lines of the two runs")
    check(launcher_bytes(c) == new, "the new build is in the launcher's place")
    check(not os.path.exists(exe_path(c) + ".new"), "no .new file is left")
    expect_complete_package(c)


ALL = [
    stalled_package_file_times_out,
    documents_cut_mid_body_fall_back,
    catalogue_answering_500,
    redirects_stay_on_https,
    package_file_with_extra_bytes,
    full_disk_during_a_download,
    read_only_package_folder,
    two_launchers_at_once,
    two_launchers_during_a_self_update,
]
