"""The self-update rounds: the lane that kills the launcher while it replaces its own build
(see crash.py)."""

import os

from crash_harness import (MEASURED_RUNS, SPAWN_LOCK, KillPlan, describe, read_or_none,
                           traced_run, windows_text)
import scenarios  # on the path that crash_harness sets


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

