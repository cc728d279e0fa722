#!/usr/bin/env python3
"""Crash injection: the native launcher killed with SIGKILL at random moments of package updates
and self-updates. After every kill each file must hold exactly its old or its new content, and
the next run (not killed) must complete the update and start the game.

  crash.py --launcher PATH --recorder PATH --key PEM --host localhost:PORT --work DIR
           --new-build PATH --kill-point LIB [--package-kills N] [--self-update-kills N]
           [--put-back-kills N] [--held-kills N] [--seed N]

Three lanes run side by side, each in its own game folder under one catalogue that announces
--new-build. Package updates (game.exe) alternate between two published versions, A and B, of a
package with files of several sizes: each round publishes the version that is not installed,
runs the launcher and kills it, checks every file, then runs it again to the end and checks
that the package is complete and the game started. That lane's runs carry the relaunch mark,
so the launcher skips the self-update there. Self-updates (second.exe) start each round from
the old build; the run after the kill must leave the new build in place and start the game.
Held package updates (third.exe, the package lane's versions) run while the kill-point library
plays another program that holds mid2.pak, in the middle of the manifest (VELM_HOLD): held
briefly, the launcher must wait and complete the update; held for good, it must give up, put
back every file it moved in and start the old package, which an uninterrupted such run checks
byte for byte. Kills come during the wait and in the put-back (see HeldRounds).

A kill comes one of these ways, drawn per round:
  - from outside: os.killpg with SIGKILL after a delay drawn uniformly over a window that the
    latest uninterrupted runs show: from the first download line to the last change of the
    package update; for the self-update, the old build's part from its download line to its
    end, or the relaunched build's, up to its removal of the old copy. The launcher's process
    group goes with it: a relaunched build, the game;
  - for the self-update, also from outside within the download's length after the new build's
    ".new" file first holds a byte: the download is short beside the run around it;
  - from inside: the preloaded --kill-point library raises SIGKILL right before the launcher's
    K-th rename, link or unlink, K drawn uniformly over those an uninterrupted run makes. Only
    this lands reliably between two moves, which are microseconds apart.
Which phase a kill hit is read from the files it left (".new" files, targets already moved), or
for a held update from the calls it made. While the launcher replaces files it keeps the old
ones in the folder "Velm Co-op/..backup", which a kill may leave; no finished run may.
The game folders and the site live on a tmpfs (see use_memory).

Ends with "crash: N kills during package updates (D in downloads, M between moves), S during
self-updates; F files in any state but old or new" (N and D, M count the held lane too, whose
own line counts its kills in the put-back and while held) and exits non-zero on any violation,
when a phase was never hit, or when fewer kills landed than asked for. Like e2e.py, the script
re-runs itself inside tests/https/run_with_ca.sh so that the launcher trusts the test server's
CA.

This file holds the command line and the three lanes side by side; crash_harness.py what they
share (the checks of a file, the runs, the kill plans), crash_package_rounds.py the rounds of
the package lane and the held lane, crash_self_update_rounds.py those of the self-update lane.
"""

import argparse
import ctypes
import os
import random
import subprocess
import sys
import threading
import time
import traceback

# crash_harness first: it puts tests/e2e on the path.
from crash_harness import Runner, Violations
from crash_package_rounds import PACKAGE_FOLDER, HeldRounds, PackageRounds
from crash_self_update_rounds import SelfUpdateRounds
from harness import Platform, Server, Signer, launcher_arguments, rerun_trusting_the_test_ca
import scenarios

SECOND_GAME = dict(scenarios.GAME, id="two", name="Game Two", exe="second.exe")
THIRD_GAME = dict(scenarios.GAME, id="three", name="Game Three", exe="third.exe")
HELD_FOLDER = "held"  # on the site: the held lane's link to a published version
PR_SET_CHILD_SUBREAPER = 36


def use_memory(work):
    """A folder for the game folders and the site, in memory when a tmpfs can be mounted (this
    runs in a private mount namespace, so nobody else sees it and it goes with the run). The
    launcher syncs every file it moves into place, which on a disk costs seconds a round; a kill
    is no power loss, the page cache outlives the killed process, so memory tests the same."""
    folder = os.path.join(work, "files")
    os.makedirs(folder, exist_ok=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512m,mode=755", "velm-crash",
                              folder], stderr=subprocess.PIPE)
    if mounted.returncode != 0:
        print("crash: no tmpfs (%s), the files stay on disk: slower" %
              mounted.stderr.decode(errors="replace").strip(), flush=True)
    return folder


def run_lane(lane, wanted, violations):
    try:
        lane.run(wanted)
    except Exception:  # a broken lane is a failure, with its trace
        violations.other("the %s lane broke:\n%s" % (lane.NAME, traceback.format_exc()))


def version_of(build):
    banner = subprocess.run([build, "--version"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, check=True, timeout=30).stdout.decode()
    return banner.split()[-1]


def main():
    parser = argparse.ArgumentParser()
    launcher_arguments(parser)
    parser.add_argument("--new-build", required=True, help="a build of a higher version")
    parser.add_argument("--kill-point", required=True, help="the velm_kill_point library")
    parser.add_argument("--package-kills", type=int, default=200)
    parser.add_argument("--self-update-kills", type=int, default=100)
    parser.add_argument("--put-back-kills", type=int, default=8,
                        help="package updates killed in the put-back, about 6 s each")
    parser.add_argument("--held-kills", type=int, default=16,
                        help="package updates killed while a file is held briefly")
    parser.add_argument("--seed", type=int)
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    rerun_trusting_the_test_ca(work, "VELM_CRASH_INSIDE")

    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    print("crash: seed %d (--seed %d draws the same kills)" % (seed, seed), flush=True)
    started = time.monotonic()
    files = use_memory(work)
    server = Server(work, int(args.host.rsplit(":", 1)[1]),
                    site=os.path.join(files, "site"))
    server.reset()
    server.start()
    platform = Platform(os.path.abspath(args.launcher), os.path.abspath(args.recorder), False)
    new_build = os.path.abspath(args.new_build)
    signer = Signer(args.key)
    version = version_of(new_build)
    kill_point = os.path.abspath(args.kill_point)
    violations = Violations()
    # Two lanes, one game folder each, run side by side: package updates in "package", where
    # the game is game.exe, and self-updates in "selfupdate", where it is second.exe.
    package_context = scenarios.Context(platform, server, signer, args.host, files, new_build,
                                        version)
    update_context = scenarios.Context(platform, server, signer, args.host, files, new_build,
                                       version)
    held_context = scenarios.Context(platform, server, signer, args.host, files, new_build,
                                     version)
    package_context.begin("package")  # each begin empties the site: all before publishing
    update_context.begin("selfupdate")
    held_context.begin("held")
    package_context.add_game_exe()
    update_context.add_game_exe(SECOND_GAME["exe"])
    held_context.add_game_exe(THIRD_GAME["exe"])
    # The relaunch mark makes a launcher skip the self-update: the package lane runs the old
    # build under the catalogue that announces the new one.
    packages = PackageRounds(package_context, Runner(platform, "package",
                                                     {"VELM_COOP_UPDATED": "1"}, kill_point),
                             violations, random.Random("%d package" % seed))
    updates = SelfUpdateRounds(update_context, Runner(platform, "selfupdate", {}, kill_point),
                               violations, random.Random("%d self-update" % seed))
    c = package_context
    c.games = [dict(scenarios.GAME,
                    manifest="https://%s/%s/manifest.json" % (c.host, PACKAGE_FOLDER)),
               SECOND_GAME,
               dict(THIRD_GAME, manifest="https://%s/%s/manifest.json" % (c.host, HELD_FOLDER))]
    with open(new_build, "rb") as file:
        scenarios.announce_new_build(c, file.read())
    catalogue = c.catalogue_bytes()
    c.put_signed("/games.json", catalogue)
    packages.publish_all(catalogue)
    updates.publish()
    # A third lane, in a third game folder, with the package lane's versions: package updates
    # while a file is held. Its rounds mostly wait, beside the other two.
    held = HeldRounds(held_context, Runner(platform, "held", {"VELM_COOP_UPDATED": "1"},
                                           kill_point),
                      violations, random.Random("%d held" % seed), HELD_FOLDER, packages)

    # Orphans of a killed launcher (a relaunched build, the game) come to this process, so
    # they can be waited for rather than left running into the next round.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    held_wanted = (args.put_back_kills, args.held_kills)
    lanes = [threading.Thread(target=run_lane, args=(lane, wanted, violations))
             for lane, wanted in ((packages, args.package_kills),
                                  (updates, args.self_update_kills),
                                  (held, held_wanted)) if wanted and wanted != (0, 0)]
    try:
        for lane in lanes:
            lane.start()
        for lane in lanes:
            lane.join()
    finally:
        server.stop()

    downloads = packages.phases["in downloads"] + held.phases["in downloads"]
    moves = packages.phases["between moves"] + held.phases["between moves"]
    if (packages.kills < args.package_kills or updates.kills < args.self_update_kills or
            held.kinds["put-back"] < args.put_back_kills or held.kinds["held"] < args.held_kills):
        violations.other("too few kills landed: %d of %d in package updates, %d of %d in "
                         "self-updates, %d of %d with a file held for good, %d of %d with one "
                         "held briefly" % (packages.kills, args.package_kills, updates.kills,
                                           args.self_update_kills, held.kinds["put-back"],
                                           args.put_back_kills, held.kinds["held"],
                                           args.held_kills))
    if args.package_kills and (downloads == 0 or moves == 0):
        violations.other("a phase of the package update was never hit: %d kills in downloads, "
                         "%d between moves" % (downloads, moves))
    if ((args.put_back_kills and held.phases["in the put-back"] == 0) or
            (args.held_kills and held.phases["while held"] == 0)):
        violations.other("a phase of the package update with a held file was never hit: %d "
                         "kills in the put-back, %d while held" % (
                             held.phases["in the put-back"], held.phases["while held"]))
    swap = (updates.phases["downloaded, not in place"] +
            updates.phases["old build kept aside"])
    if args.self_update_kills and (updates.phases["in the download"] == 0 or swap == 0 or
                                   updates.phases["new build in place"] == 0):
        violations.other("a phase of the self-update was never hit: %d kills in the download, "
                         "%d after it and before the new build was in place, %d after" % (
                             updates.phases["in the download"], swap,
                             updates.phases["new build in place"]))
    print("crash: %.0f s" % (time.monotonic() - started))
    print("crash: %d kills during package updates (%d in downloads, %d between moves), %d during "
          "self-updates; %d files in any state but old or new" % (
              packages.kills + held.kills, downloads, moves, updates.kills,
              violations.bad_files))
    if violations.lines:
        print("crash: FAILED, %d violations (seed %d)" % (len(violations.lines), seed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
