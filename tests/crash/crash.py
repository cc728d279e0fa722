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
from crash_harness import (MEASURED_RUNS, SPAWN_LOCK, KillPlan, Runner, Violations, describe,
                           read_or_none, traced_run, windows_text)
from crash_package_rounds import PACKAGE_FOLDER, HeldRounds, PackageRounds
from harness import Platform, Server, Signer, launcher_arguments, rerun_trusting_the_test_ca
import scenarios

SECOND_GAME = dict(scenarios.GAME, id="two", name="Game Two", exe="second.exe")
THIRD_GAME = dict(scenarios.GAME, id="three", name="Game Three", exe="third.exe")
HELD_FOLDER = "held"  # on the site: the held lane's link to a published version
PR_SET_CHILD_SUBREAPER = 36


# --- self-updates ---------------------------------------------------------------------------


class SelfUpdateRounds:
    NAME = "self-update"
    PHASES = ("before the download", "in the download", "downloaded, not in place",
              "old build kept aside", "new build in place")

    def __init__(self, c, runner, violations, rng):
        self.c = c
        self.runner = runner
        self.violations = violations
        self.rng = rng
        with open(c.platform.launcher, "rb") as file:
            self.old = file.read()
        with open(c.new_build, "rb") as file:
            self.new = file.read()
        self.phases = dict.fromkeys(self.PHASES, 0)
        self.kills = 0

    def paths(self):
        exe = scenarios.exe_path(self.c)
        return exe, exe + ".new", scenarios.aside_path(self.c)

    def reset(self):
        """The old build in place and nothing else, written beside and renamed, so that a hard
        link that an update made to the launcher's file is not written through."""
        exe, new, aside = self.paths()
        for path in (new, aside, self.c.recorder_path()):
            if os.path.exists(path):
                os.remove(path)
        with SPAWN_LOCK:
            with open(exe + ".reset", "wb") as file:
                file.write(self.old)
        os.chmod(exe + ".reset", 0o755)
        os.replace(exe + ".reset", exe)

    def publish(self):
        """The package of the lane's game, under /two/ (the catalogue is published apart)."""
        c = self.c
        c.put_signed("/two/manifest.json", c.manifest_bytes())
        for name, content in c.files.items():
            c.server.put("/two/" + name, content)

    def install(self):
        """A whole self-update that installs the package too, so that the rounds start from
        an installed package."""
        self.reset()
        outcome = self.runner.run(self.c.game_dir)
        if outcome.code != 0 or not os.path.exists(self.c.recorder_path()):
            raise RuntimeError("installing the package failed (exit %d):\n%s" % (
                outcome.code, outcome.output))

    def timing(self, measured, outcome):
        """The windows for a kill from outside that an uninterrupted self-update shows, and its
        download's length; None when it did not update: the old build's part from the download
        on, and the relaunched build's, up to its removal of the old copy, each as likely so
        that the download gets its share. The download lasts from its first byte to the old
        build's first change after it (before it, the old build removes leftovers)."""
        aside = self.paths()[2]
        ends = [when for when, _, what in measured.changes if aside in what]
        if measured.marked is None or measured.filled is None or not ends:
            return None
        after = [when for when, _, _ in measured.own_changes() if when >= measured.filled]
        if not after:
            return None
        ended = outcome.duration
        return [(measured.marked, ended), (ended, max(ends[-1], ended) + 0.001)], \
            after[0] - measured.filled

    def start_next(self, round_text):
        """Starts the launcher after a kill, to the end: it must start the game with the new
        build in place and nothing left over. Returns its timing when it updated, and how
        many changes the old build made then."""
        exe, new_path, aside = self.paths()
        recorder = self.c.recorder_path()
        if os.path.exists(recorder):
            os.remove(recorder)
        if not os.path.exists(exe):
            self.violations.other("%s: the next start is impossible: %s does not exist" % (
                round_text, exe))
            return None, 0
        # A download that the kill cut short is there from the start: it times nothing.
        watched = None if os.path.exists(new_path) else new_path
        measured, outcome = traced_run(self.runner, self.c.work, self.c.game_dir,
                                       b" -- downloading", watched)
        if outcome.code != 0 or not os.path.exists(recorder):
            self.violations.other("%s: the next start ended with %d%s:\n%s" % (
                round_text, outcome.code, "" if os.path.exists(recorder) else
                " and did not start the game", measured.output))
        if read_or_none(exe) != self.new:
            self.violations.file("%s, the next start: the launcher is %s; expected the new "
                                 "build" % (round_text, describe(read_or_none(exe), self.old,
                                                                 self.new)))
        for path in (new_path, aside):
            if os.path.exists(path):
                self.violations.other("%s, the next start left %s" % (round_text, path))
        return self.timing(measured, outcome), len(measured.own_changes())

    def measure(self):
        """Uninterrupted self-updates from the old build: the plan of the kills."""
        timings = []
        counts = []
        for number in range(MEASURED_RUNS):
            self.reset()
            timing, changes = self.start_next("uninterrupted self-update %d" % (number + 1))
            timings.append(timing)
            counts.append(changes)
        if len(set(counts)) != 1 or counts[0] == 0 or None in timings:
            raise RuntimeError("uninterrupted self-updates made %r file changes" % counts)
        plan = KillPlan(self.rng, counts[0], self.paths()[1])
        for windows, transfer in timings:
            plan.observe(windows, transfer)
        return plan

    def check_after_kill(self, round_text):
        """The launcher's file is the old or the new build; returns the phase the kill hit."""
        exe, new_path, aside = self.paths()
        actual = read_or_none(exe)
        if actual != self.old and actual != self.new:
            where = [os.path.basename(path) for path in (aside, new_path)
                     if read_or_none(path) == self.old]
            self.violations.file("%s: the launcher %s is %s; expected the old build (%d bytes) "
                                 "or the new one (%d bytes)%s" % (
                                     round_text, exe, describe(actual, self.old, self.new),
                                     len(self.old), len(self.new),
                                     "; the old build is at " + ", ".join(where) if where else ""))
        if actual == self.new:
            return "new build in place"
        if os.path.exists(aside):
            return "old build kept aside"
        download = read_or_none(new_path)
        if download is None:
            return "before the download"
        return "downloaded, not in place" if download == self.new else "in the download"

    def run(self, wanted):
        self.install()
        plan = self.measure()
        print("self-update: kills from outside at %s or within %.0f ms of the download's first "
              "byte, from inside before one of the old build's %d changes" % (
                  windows_text(plan.windows()), plan.transfer() * 1000, plan.changes), flush=True)
        rounds = 0
        while self.kills < wanted and rounds < 2 * wanted:
            rounds += 1
            self.reset()
            outcome, how = plan.run(self.runner, self.c.game_dir)
            round_text = "self-update round %d (killed %s)" % (rounds, how)
            if outcome.killed():
                self.kills += 1
                self.phases[self.check_after_kill(round_text)] += 1
            elif outcome.code != 0:
                self.violations.other("%s: the launcher ended with %d before the kill:\n%s" % (
                    round_text, outcome.code, outcome.output))
            timing, changes = self.start_next(round_text)
            if timing and changes == plan.changes:  # a whole update: it times the next kills
                plan.observe(*timing)
        print("self-update: %d kills in %d rounds: %s; the last kills from outside at %s or "
              "within %.0f ms of the download's first byte" % (
                  self.kills, rounds, ", ".join("%d %s" % (self.phases[p], p)
                                                for p in self.PHASES),
                  windows_text(plan.windows()), plan.transfer() * 1000), flush=True)


# --- the run --------------------------------------------------------------------------------


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
