"""End-to-end scenarios of files that another program holds while the launcher moves or deletes
them: a package file held for a moment (waited for) and for longer than the launcher waits (the
update undone whole, and finished by the next run), a saved copy held for a moment, and a new
launcher build that cannot be moved in (the old build back under its name).

Natively a file is held by the crash test's preload library (harness.hold_library) with
VELM_HOLD=NAME:MS: from the launcher's first rename, link or unlink onto NAME, every such call
fails with EBUSY for MS milliseconds. Under Wine a second Windows program, the recorder in its
--hold mode, keeps the file open without FILE_SHARE_DELETE. A Wine program takes hundreds of ms
to start, so the two are kept in step by files rather than sleeps: the server holds back the
body of one of the launcher's requests until the holder has the file open, and the hold's time
runs from the appearance of what the launcher makes right before the moves the hold is for (the
backup folder, a saved copy's ".new", the moved-aside build). The file held by the running game
itself is scenarios.file_held_by_the_running_game.
"""

import os
import re
import subprocess
import time

from harness import Failure, check, check_equal, hold_library
from scenarios import (GAME, announce_new_build, aside_path, exe_path,
                       expect_only_the_launchers_file, launcher_bytes,
                       needs_new_build)

# How long the launcher tries one held file before the failure stands.
LONGEST_WAIT = 5.0
# Seconds a run may take past a wait to start the game and end (a Wine program's start included).
GAME_START = 3.0
EBUSY = 16
ERROR_SHARING_VIOLATION = 32

BEFORE, HELD, AFTER = "before.pak", "data.txt", "after.pak"
FAILED_REPLACE = re.compile(
    r"\[!\] could not replace data\.txt \((\S.*\S)\) -- is the game running\?")


# --- helpers ---------------------------------------------------------------------------------


def waiting_line(name):
    return "[*] waiting for %s, which another program holds" % name


def needs_holder(scenario):
    """A native scenario needs the preload library; under Wine the recorder holds the file."""
    def run(c):
        return scenario(c) if c.platform.wine or hold_library() else "skip"
    run.__name__ = scenario.__name__
    return run


class HeldRun:
    """What a run with a held file gave: its Result, the seconds from the hold's start (natively,
    from the run's) to its end, and natively the file system calls it made (kill_point's trace:
    (call, first path, second path or None), held calls included)."""

    def __init__(self, result, waited, calls):
        self.result = result
        self.waited = waited
        self.calls = calls

    def sources_of_renames_onto(self, path):
        return [first for call, first, second in self.calls
                if call.startswith("rename") and second == path]


TRACE_LINE = re.compile(r"\d+ \d+ (?:held )?(\w+) (.*?)(?: -> (.*))?")


def read_trace(path):
    with open(path) as file:
        return [TRACE_LINE.fullmatch(line.rstrip("\n")).groups() for line in file]


def run_holding(c, path, seconds, gate=None, start=None):
    """Runs the launcher while the file at path is held for seconds. Natively every call onto its
    name fails from the first one on. Under Wine the holder opens path once it exists, the server
    holds back the body of the request gate until then, and the hold's time runs from when the
    file or folder start appears, which the launcher makes right before the moves the hold is
    for. The seconds waited count from the same moment (natively from the run's start)."""
    if not c.platform.wine:
        trace = os.path.join(c.work, "hold-trace.txt")
        open(trace, "w").close()
        env = {"LD_PRELOAD": hold_library(), "VELM_KILL_TRACE": trace,
               "VELM_HOLD": "%s:%d" % (os.path.basename(path), seconds * 1000)}
        started = time.time()
        result = c.run(env=env)
        return HeldRun(result, time.time() - started, read_trace(trace))

    held = os.path.join(c.work, "hold-held")
    if os.path.exists(held):
        os.remove(held)
    c.server.set_faults({gate: {"wait_for_file": held}})
    holder = subprocess.Popen(
        ["wine", c.platform.recorder, "--hold"] +
        [c.platform.folder_text(p) for p in (path, held, start)] + [str(int(seconds * 1000))],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    launcher = c.platform.start(c.game_dir)
    try:
        deadline = time.time() + 60
        while not os.path.lexists(start):
            if launcher.poll() is not None or holder.poll() is not None or time.time() > deadline:
                launcher.kill()
                raise Failure("%s never appeared while the holder (exit code %r) held %s; the "
                              "launcher:\n%r" % (start, holder.poll(), path,
                                                  c.platform.finish(launcher)))
            time.sleep(0.01)
        started = time.time()
        result = c.platform.finish(launcher)
        waited = time.time() - started
        check(os.path.exists(held), "the holder never had %s open" % path)
        # A hold that outlasts the run ends with it: the next run must not meet it.
        if holder.poll() is None and waited < seconds:
            holder.kill()
        check(holder.wait(timeout=60) in (0, -9), "the holder failed: exit code %r" %
              holder.returncode)
    finally:
        for process in (launcher, holder):
            if process.poll() is None:
                process.kill()
                process.wait()
    return HeldRun(result, waited, [])


def publish_three_changes(c):
    """An installed package, then an update that changes a file before data.txt, data.txt and
    one after it in manifest order. Returns the installed files."""
    c.files = {"coop.exe": c.recorder, BEFORE: b"before, version 1\n", HELD: b"co-op data\n",
               AFTER: b"after, version 1\n"}
    c.install_package()
    old = c.package_files()
    c.files.update({BEFORE: b"before, version 2\n", HELD: b"co-op data, version 2\n",
                    AFTER: b"after, version 2\n"})
    c.manifest_version = "1.0.1"
    c.publish()
    return old


def run_holding_data(c, seconds):
    # Under Wine the hold's time runs from the backup folder's making: the start of the moves.
    return run_holding(c, os.path.join(c.package_dir, HELD), seconds, gate="/one/" + AFTER,
                       start=os.path.join(c.package_dir, "..backup"))


def expect_nothing_left_over(c):
    c.expect_no_temporaries()
    backups = os.path.join(c.package_dir, "..backup")
    check(not os.path.lexists(backups),
          "the backup folder is left: %r" % (os.path.isdir(backups) and os.listdir(backups)))


def expect_complete_update(c, result, extra_lines=()):
    """An ordinary update of the three files, with extra_lines after the downloads, the new
    package in place and nothing left over."""
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    ordinary = [c.banner()] + c.download_lines([BEFORE, HELD, AFTER]) + [c.starting_line()]
    check_equal(result.out_lines(), ordinary[:4] + list(extra_lines) + ordinary[4:],
                "standard output")
    check_equal(c.package_files(), dict(c.files, **{"games.json": c.catalogue,
                                                    "manifest.json": c.manifest}),
                "the package after the update")
    expect_nothing_left_over(c)
    c.recorded()


# --- package files ---------------------------------------------------------------------------


@needs_holder
def package_file_held_for_a_moment_is_waited_for(c):
    publish_three_changes(c)
    run = run_holding_data(c, 1.5)
    expect_complete_update(c, run.result, [waiting_line(HELD)])
    check(run.waited >= 1.5, "the run ended %.1f s after the hold began" % run.waited)


@needs_holder
def package_file_held_too_long_leaves_the_package_as_it_was(c):
    old = publish_three_changes(c)
    run = run_holding_data(c, 10)
    result = run.result
    check_equal(result.code, 0, "exit code\n%r" % result)
    lines = result.out_lines()
    check_equal(lines[:5], [c.banner()] + ["[*] downloading %s (0 KB)" % n
                                           for n in (BEFORE, HELD, AFTER)] +
                [waiting_line(HELD)], "standard output up to the wait")
    failure = lines[5] if len(lines) > 5 else ""
    check(FAILED_REPLACE.fullmatch(failure) is not None,
          "the replace failure with the system's words: %r" % lines)
    check_equal(lines[6:], [c.starting_line()], "the installed version starts")
    check_equal(result.err_lines(), ["Could not update Velm Co-op (%s) -- starting the installed "
                                     "version." % failure[4:]], "standard error")
    # At most its 5 s for the file in all, then the game starts.
    backups = os.path.join(c.package_dir, "..backup")
    check(LONGEST_WAIT <= run.waited < LONGEST_WAIT + GAME_START,
          "the run ended %.1f s after the hold began: the launcher may wait %g s for one file "
          "(backups left: %r)" % (run.waited, LONGEST_WAIT,
                                  os.path.isdir(backups) and os.listdir(backups)))
    c.recorded()
    check_equal(c.package_files(), old, "the package after the update was undone")
    expect_nothing_left_over(c)
    if not c.platform.wine:
        # The file before the held one was moved in and then put back; the one after never moved.
        folder = c.package_dir + "/"
        check_equal(run.sources_of_renames_onto(folder + BEFORE),
                    [folder + BEFORE + ".new", folder + "..backup/" + BEFORE],
                    "what was renamed onto %s" % BEFORE)
        check_equal(run.sources_of_renames_onto(folder + AFTER), [],
                    "what was renamed onto %s" % AFTER)
    os.remove(c.recorder_path())

    # Nothing holds the file now: the next run finishes the update.
    expect_complete_update(c, c.run())


# --- saved copies ----------------------------------------------------------------------------


@needs_holder
def saved_catalogue_held_for_a_moment_is_waited_for(c):
    c.install_package()
    # A changed catalogue, so that the save shows.
    c.games.append(dict(GAME, id="two", exe="Other.exe", name="Game Two"))
    c.publish()
    # Under Wine the hold's time runs from the making of the copy's ".new", right before its
    # move.
    saved = os.path.join(c.package_dir, "games.json")
    run = run_holding(c, saved, 1.5, gate="/one/manifest.json.sig", start=saved + ".new")
    result = run.result
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(), [c.banner(), waiting_line("games.json"), c.starting_line()],
                "standard output")
    check_equal(c.package_files().get("games.json"), c.catalogue, "the saved catalogue")
    c.expect_no_temporaries()
    c.recorded()


# --- the self-update -------------------------------------------------------------------------


@needs_new_build
@needs_holder
def self_update_whose_move_is_held_rolls_back(c):
    """The moved-aside build comes back under the launcher's name. Natively the launcher's own
    name is held (the move aside is a hard link: only the new build's rename onto the name is
    held). Under Wine the downloaded build is held open from its download on, for longer than
    the launcher tries to move it but shorter than that and its delete together."""
    with open(c.platform.launcher, "rb") as file:
        old = file.read()
    with open(c.new_build, "rb") as file:
        announce_new_build(c, file.read())
    c.add_game_exe()
    c.publish()
    exe = c.platform.exe_name
    new = exe + ".new"
    if c.platform.wine:
        # Its time runs from the move aside, right before the move in.
        run = run_holding(c, exe_path(c) + ".new", 8, gate="/launcher/new.exe",
                          start=aside_path(c))
        code, waits = ERROR_SHARING_VIOLATION, [waiting_line(exe), waiting_line(new)]
    else:
        run = run_holding(c, exe_path(c), 60)
        code, waits = EBUSY, [waiting_line(exe)]
    result = run.result
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [
        "self-update: could not move %s to %s (error %d)" % (
            c.platform.join(c.folder(), new), c.platform.join(c.folder(), exe), code),
        "self-update: could not put the new exe in place -- carrying on as 2.0.0"],
        "standard error")
    check_equal(result.out_lines(), [
        c.banner(), "self-update: %s is out, this is 2.0.0 -- downloading" % c.new_version] +
        waits + c.download_lines(["coop.exe", "data.txt"]) + [c.starting_line()],
        "standard output")
    check(run.waited >= LONGEST_WAIT, "the launcher gave up %.1f s after the hold began" %
          run.waited)
    check(launcher_bytes(c) == old, "the old build is back under the launcher's name")
    expect_only_the_launchers_file(c)
    c.recorded()


ALL = [
    package_file_held_for_a_moment_is_waited_for,
    package_file_held_too_long_leaves_the_package_as_it_was,
    saved_catalogue_held_for_a_moment_is_waited_for,
    self_update_whose_move_is_held_rolls_back,
]
