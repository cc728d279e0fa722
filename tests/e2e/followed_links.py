"""End-to-end scenarios of links planted where the launcher writes: links and hard links at the
".new" files and at the old build's name, which are moved aside or dropped by name and the run
goes on as usual; a folder or link at the backup folder's names; a link at a package file, and a
package folder that is a link to another folder, which fail as a replace or save does. Each ends
with the files the links lead to as they were. A game folder that is a link is served as usual.

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


def save_failure(c, name, consequence):
    return "Could not save %s -- an offline start will not find the %s." % (
        c.platform.join(c.package_folder(), name), consequence)


# --- scenarios -------------------------------------------------------------------------------


def plant(c, names, make):
    """make(target, link_path) at each name (relative to the game folder), each leading to its own
    file outside; returns target path -> its content."""
    folder = outside(c)
    targets = {}
    for index, name in enumerate(names):
        target = victim(folder, "victim%d.bin" % index)
        make(target, os.path.join(c.game_dir, name))
        targets[target] = THEIRS
    return targets


def names_the_launcher_writes(c):
    """Unix links (under Wine too, where they look like the files they name) and hard links at
    every name the launcher writes, resumes or deletes: beside the exe, its new build's .new and
    its old build's name; in the package folder, the saved copies' and a download's .new. An
    offline start, then an update that downloads coop.exe: both go as ordinary runs, and every
    file the links lead to keeps its bytes and its place."""
    exe = c.platform.exe_name
    old = exe[:-4] + ".old.exe" if exe.lower().endswith(".exe") else exe + ".old"
    package = ["Velm Co-op/games.json.new", "Velm Co-op/manifest.json.new",
               "Velm Co-op/coop.exe.new"]
    makers = [("symbolic links", os.symlink)]
    if not c.platform.wine:
        makers.append(("hard links", os.link))
    for what, make in makers:
        c.begin("names_the_launcher_writes")
        c.install_package()
        targets = plant(c, [exe + ".new", old] + package, make)
        try:
            offline = c.run(env={"VELM_COOP_OFFLINE": "1"})
            reach = "Could not reach %s -- starting the installed version." % c.host
            check_equal((offline.code, offline.err_lines()), (0, [reach]),
                        "the offline start\n%r" % offline)
            c.recorded()
            os.remove(c.recorder_path())
            publish_update(c, **{"coop.exe": c.recorder + b"\0version 2"})
            result = c.run()
            check_equal(result.code, 0, "exit code\n%r" % result)
            check_equal(result.err_lines(), [], "standard error")
            check_equal(result.out_lines(), [c.banner()] + c.download_lines(["coop.exe"]) +
                        [c.starting_line()], "standard output")
            c.recorded()
            for target, content in targets.items():
                check_equal(file_content(target), content, "the file a link led to")
            for name in [exe + ".new", old]:
                check(not os.path.lexists(os.path.join(c.game_dir, name)), name + " is left")
            c.expect_no_temporaries()
        except Failure as failure:
            raise Failure("%s: %s" % (what, failure))


def planted_folders_in_the_backup_folder(c):
    """A folder at ..backup/data.txt, with a file in it, would fail every update of data.txt: it
    is moved aside, the update goes as usual and what was in the folder is kept."""
    c.install_package()
    planted = os.path.join(c.package_dir, "..backup", "data.txt")
    os.makedirs(planted)
    with open(os.path.join(planted, "keep.bin"), "wb") as file:
        file.write(THEIRS)
    publish_update(c)
    result = c.run()
    check_equal((result.code, result.err_lines()), (0, []), "exit code and errors\n%r" % result)
    check_equal(result.out_lines(), [c.banner()] + c.download_lines(["data.txt"]) +
                [c.starting_line()], "standard output")
    c.recorded()
    aside = os.path.join(c.package_dir, "..aside")
    kept = [os.path.join(root, name) for root, _, names in os.walk(aside) for name in names]
    check_equal([file_content(path) for path in kept], [THEIRS], "what the folder held")


def linked_backup_folder(c):
    """..backup leads to a folder outside holding a file of the same name as a package file: an
    update never writes, moves or deletes there. Natively the link is moved aside and the update
    goes as usual; Wine renames and removes what a folder link leads to, so there the link stays
    and the replace fails as for any link."""
    c.install_package()
    folder = outside(c)
    victim(folder, "data.txt")
    os.symlink(folder, os.path.join(c.package_dir, "..backup"))
    before = folder_state(folder)
    publish_update(c)
    result = c.run()
    check_equal(result.code, 0, "exit code\n%r" % result)
    if not c.platform.wine:
        check_equal(result.err_lines(), [], "standard error")
        check_equal(result.out_lines(), [c.banner()] + c.download_lines(["data.txt"]) +
                    [c.starting_line()], "standard output")
    c.recorded()
    check_equal(folder_state(folder), before, "the folder the link leads to")


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
    names_the_launcher_writes,
    planted_folders_in_the_backup_folder,
    linked_backup_folder,
    linked_package_file_is_not_replaced,
    linked_package_folder,
]
