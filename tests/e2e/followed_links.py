"""End-to-end scenarios of links planted where the launcher writes: a link at a download's or a
saved copy's ".new" file, at a package file, and a package folder that is a link to another
folder. Each ends with the files the links lead to as they were, and the run saying what it says
for a failed write, save or replace. A game folder that is a link is served as usual.

What Wine 8 can show: it presents a Unix symbolic link to a folder as a reparse point (by name),
so the linked package folder, a package file linked to a folder and the linked game folder run
under Wine too. A Unix
link to a file is a plain file to Wine, which follows it, and Wine 8 makes no Windows link of its
own (CreateSymbolicLinkW does nothing, mklink /J fails): the scenarios that need a link to a file
try `mklink` and skip under Wine when it makes nothing.
"""

import os
import shutil
import subprocess

from attacks import file_content, snapshot
from faults import expect_failed_update, publish_update, record_outside_the_package
from harness import Failure, check, check_equal

THEIRS = b"the player's own file, not the launcher's\n"


# --- helpers ---------------------------------------------------------------------------------


def outside(c):
    """An empty folder beside the game folder, where the links lead."""
    folder = c.game_dir + "-outside"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def victim(folder, name="victim.bin"):
    path = os.path.join(folder, name)
    with open(path, "wb") as file:
        file.write(THEIRS)
    return path


def link_to_file(c, link, target):
    """A link the launcher under test sees as one; False where none can be made."""
    if not c.platform.wine:
        os.symlink(target, link)
        return True
    subprocess.run(["wine", "cmd", "/c", "mklink", c.platform.folder_text(link),
                    c.platform.folder_text(target)], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    return os.path.lexists(link)


def content_and_identity(path):
    info = os.lstat(path)
    return file_content(path), info.st_ino, info.st_mtime_ns


def folder_state(folder):
    """Relative path -> (content, inode, modification time) of every file below folder, and the
    folders: anything written, replaced or deleted there shows."""
    return snapshot(folder, content_and_identity)


def expect_untouched(path, what):
    check(os.path.isfile(path) and not os.path.islink(path), "%s is no longer a file" % what)
    with open(path, "rb") as file:
        check_equal(file.read(), THEIRS, what)


def save_failure(c, name, consequence):
    return "Could not save %s -- an offline start will not find the %s." % (
        c.platform.join(c.package_folder(), name), consequence)


# --- scenarios -------------------------------------------------------------------------------


def link_at_a_download_temporary(c):
    """coop.exe.new leads to a file outside the game folder: the download is refused as a failed
    write, before anything is asked for, and the file it leads to keeps its bytes."""
    c.install_package()
    old = c.package_files()
    theirs = victim(outside(c))
    if not link_to_file(c, os.path.join(c.package_dir, "coop.exe.new"), theirs):
        return "skip"
    publish_update(c, **{"coop.exe": c.recorder + b"\0version 2"})
    asked = len(c.server.requests())
    result = c.run()
    expect_failed_update(c, result, "coop.exe could not write coop.exe.new -- nothing was replaced",
                         downloads=("coop.exe",))
    check("/one/coop.exe" not in c.server.requests()[asked:], "the refused download was asked for")
    expect_untouched(theirs, "the file coop.exe.new led to")
    c.recorded()
    os.remove(c.recorder_path())
    check_equal(c.package_files(), old, "the installed package")


def links_at_the_saved_copies_temporaries(c):
    """games.json.new and manifest.json.new lead outside: both saves fail as saves do, the game
    starts, and neither file they lead to is written."""
    c.install_package()
    folder = outside(c)
    theirs = [victim(folder, "catalogue.bin"), victim(folder, "manifest.bin")]
    for name, target in zip(("games.json.new", "manifest.json.new"), theirs):
        if not link_to_file(c, os.path.join(c.package_dir, name), target):
            return "skip"
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.out_lines(), [c.banner(), c.starting_line()], "standard output")
    check_equal(result.err_lines(), [save_failure(c, "games.json", "game"),
                                     save_failure(c, "manifest.json", "package")],
                "standard error")
    for path in theirs:
        expect_untouched(path, os.path.basename(path))
    c.recorded()


def linked_package_file_is_not_replaced(c):
    """data.txt is a link, to a file or to a folder outside: the new data.txt is downloaded but
    not moved over it, the run reports the replace as failed in the system's words for a refused
    link, and no ".new" stays behind."""
    refused = "The filename cannot be resolved." if c.platform.wine else \
        "Too many levels of symbolic links"
    message = "could not replace data.txt (%s) -- is the game running?" % refused
    cases = [("a folder", True), ("a file", False)]
    ran = False
    for what, to_folder in cases:
        c.begin("linked_package_file_is_not_replaced")
        c.install_package()
        folder = outside(c)
        data = os.path.join(c.package_dir, "data.txt")
        os.remove(data)
        if to_folder:
            # A Unix link to a folder is a reparse point to Wine as well.
            os.symlink(folder, data)
        elif not link_to_file(c, data, victim(folder)):
            continue
        before = folder_state(folder)
        publish_update(c)
        result = c.run()
        try:
            if to_folder:
                # A folder is no data.txt: nothing complete is installed to fall back to.
                check_equal(result.code, 1, "exit code\n%r" % result)
                check_equal(result.out_lines(), [c.banner(), "[*] downloading data.txt (0 KB)",
                                                 "[!] " + message], "standard output")
                check_equal(result.err_lines(), [
                    c.not_installed("Could not update Velm Co-op (%s)" % message),
                    "Press any key to exit."], "standard error")
            else:
                expect_failed_update(c, result, message)
                c.recorded()
            check(os.path.islink(data), "the link was replaced")
            check_equal(folder_state(folder), before, "the folder the link leads to")
            c.expect_no_temporaries()
        except Failure as failure:
            raise Failure("data.txt a link to %s: %s" % (what, failure))
        ran = True
    return None if ran else "skip"


def linked_package_folder(c):
    """"Velm Co-op" is a link to another folder, empty or holding an installed package: the
    launcher says it cannot create the package folder nor save into it, starts what is installed
    there if anything, and writes, replaces and deletes nothing in that folder."""
    cases = [("an empty folder", False), ("an installed package", True)]
    for what, installed in cases:
        c.begin("linked_package_folder")
        folder = outside(c)
        if installed:
            c.install_package()
            os.rmdir(folder)
            shutil.move(c.package_dir, folder)
            publish_update(c)
        else:
            c.add_game_exe()
            c.publish()
        os.symlink(folder, c.package_dir)  # a reparse point to Wine as well
        before = folder_state(folder)
        env, record = record_outside_the_package(c)  # the game's record is no write of ours
        result = c.run(env=env)
        reason = "Could not update Velm Co-op (could not create %s)" % c.package_folder()
        saved = save_failure(c, "games.json", "game")
        try:
            if installed:
                check_equal(result.code, 0, "exit code\n%r" % result)
                check_equal(result.err_lines(),
                            [saved, reason + " -- starting the installed version."],
                            "standard error")
                check_equal(result.out_lines(), [c.banner(), c.starting_line()],
                            "standard output")
                check(os.path.exists(record), "the installed version did not start")
            else:
                c.expect_fatal(result, [saved, c.not_installed(reason)])
            check(os.path.islink(c.package_dir), "the link was replaced")
            check_equal(folder_state(folder), before, "the folder the link leads to")
        except Failure as failure:
            raise Failure("a link to %s: %s" % (what, failure))


def linked_game_folder_is_served_as_usual(c):
    """The game folder itself may be a link (a library moved to another drive): only the package
    folder and what is in it are held to the rule, so a first run goes as it always does. Under
    Wine only: the POSIX port finds its folder through /proc/self/exe, with every link resolved."""
    if not c.platform.wine:
        return "skip"
    real = c.game_dir + "-library"
    shutil.move(c.game_dir, real)
    os.symlink(real, c.game_dir)  # a reparse point to Wine as well
    c.add_game_exe()
    c.publish()
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(), [c.banner()] + c.download_lines(["coop.exe", "data.txt"]) +
                [c.starting_line()], "standard output")
    check_equal(c.recorded()["workingFolder"].rstrip("\\/"), c.package_folder(),
                "the package folder, named through the link")
    check_equal(c.package_files(), dict(c.files, **{"games.json": c.catalogue,
                                                    "manifest.json": c.manifest}),
                "the package installed in the linked game folder")


ALL = [
    linked_game_folder_is_served_as_usual,
    link_at_a_download_temporary,
    links_at_the_saved_copies_temporaries,
    linked_package_file_is_not_replaced,
    linked_package_folder,
]
