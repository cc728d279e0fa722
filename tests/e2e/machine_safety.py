"""What a player's machine must not let through the launcher: names from documents that a
terminal would act on, descriptors of the launcher in the started game, a half-downloaded
launcher build left by a killed run, and a FIFO in a saved copy's place.
"""

import os

from harness import check, check_equal
from scenarios import GAME, exe_path

# Escape sequences (CSI, OSC), a C1 control, DEL and the bidirectional overrides and isolates.
HOSTILE_NAME = "Game\x1b[2J One\x1b]0;title\x07 \x9b31m\x7f \u202eeno\u202c \u2066x\u2069"
HOSTILE_FILE = "data\u202etxt.pak"


def shown(text):
    """The text as the launcher prints it."""
    return "".join("\ufffd" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F or
                   0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069 else c
                   for c in text)


def check_disarmed(result, what):
    for stream, text in (("standard output", result.stdout), ("standard error", result.stderr)):
        controls = sorted({c for c in text if c != "\n" and shown(c) != c})
        check_equal(controls, [], "%s: control or override characters on %s" % (what, stream))


def names_from_documents_reach_the_console_disarmed(c):
    c.games[0]["name"] = HOSTILE_NAME
    c.files = {"coop.exe": c.recorder, HOSTILE_FILE: b"co-op data\n"}
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_disarmed(result, "online run")
    check_equal(result.out_lines(),
                [c.banner()] + [shown(line) for line in c.download_lines(list(c.files))] +
                [c.starting_line(dict(GAME, name=shown(HOSTILE_NAME)))], "standard output")
    c.recorded()
    os.remove(c.recorder_path())

    # The offline start reads the name from the saved, unsigned copy.
    result = c.run(env={"VELM_COOP_OFFLINE": "1"})
    check_equal(result.code, 0, "exit code offline\n%r" % result)
    check_disarmed(result, "offline run")
    check_equal(result.out_lines(),
                [c.banner(), c.starting_line(dict(GAME, name=shown(HOSTILE_NAME)))],
                "standard output offline")
    c.recorded()


def game_starts_with_no_descriptor_of_the_launcher(c):
    if c.platform.wine:
        return "skip"  # Windows handles: the platform's unit test
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    # The catalogue's connection is still open in the launcher when the game starts.
    check_equal(c.recorded()["openDescriptors"], [0, 1, 2], "descriptors the game started with")


def unfinished_launcher_download_is_removed(c):
    download = exe_path(c) + ".new"
    with open(download, "wb") as file:
        file.write(b"the first half of a build that a kill cut short")
    c.install_package()
    check(not os.path.exists(download), "the unfinished download of the launcher is still there")


def a_fifo_at_a_saved_copy_is_no_saved_copy(c):
    """A FIFO at a saved copy's name, held open by a writer that never writes (Wine shows it as a
    plain file): offline, the not-installed report at once; online, the game starts. (What then
    takes the FIFO's place is the saves' concern.)"""
    c.install_package()
    for name in ("games.json", "manifest.json"):
        path = os.path.join(c.package_dir, name)
        with open(path, "rb") as file:
            saved = file.read()
        os.remove(path)
        os.mkfifo(path)
        writer = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        try:
            c.expect_fatal(c.run(env={"VELM_COOP_OFFLINE": "1"}, timeout=60),
                           [c.not_installed("Could not reach " + c.host)])
            result = c.run(timeout=60)
        finally:
            os.close(writer)
        check_equal(result.code, 0, "%s online\n%r" % (name, result))
        c.recorded()
        os.remove(c.recorder_path())
        os.remove(path)
        with open(path, "wb") as file:
            file.write(saved)


ALL = [
    names_from_documents_reach_the_console_disarmed,
    game_starts_with_no_descriptor_of_the_launcher,
    unfinished_launcher_download_is_removed,
    a_fifo_at_a_saved_copy_is_no_saved_copy,
]
