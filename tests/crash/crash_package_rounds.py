"""The package update rounds: the lane that kills the launcher while it replaces a package's
files, and the lane that does so while another program holds one of them (see crash.py)."""

import hashlib
import json
import os
import re
import time

from chunks import index_bytes
from crash_harness import (HELD_CALL, MEASURED_RUNS, KillPlan, describe, destination,
                           expectation, read_or_none, read_trace, trace_path, traced_run,
                           wait_until_held, windows_text)

MIB = 1048576
SAVED_COPIES = ("games.json", "manifest.json")
PACKAGE_FOLDER = "pkg"  # on the site: a link to the folder of the published version
BACKUP_FOLDER = "..backup"  # in the package folder: the old files while an update replaces them
JOURNAL = "..replacing"  # in the package folder while an update replaces files


def make_versions(rng, recorder):
    """Two versions of one package: a co-op launcher that runs in both, three large files, many
    small ones, one file both share and one file each has alone. Every other file differs."""
    smalls = [rng.randint(1, 48 * 1024) for _ in range(40)]
    names = (["coop.exe", "big.pak", "mid.pak"] + ["s%02d.dat" % i for i in range(20)] +
             ["mid2.pak"] + ["s%02d.dat" % i for i in range(20, 40)] + ["same.txt"])
    versions = {}
    for label in "AB":
        files = {}
        for name in names:
            if name == "coop.exe":
                # Bytes after an ELF image do not change what it runs.
                files[name] = recorder + b"\0package version " + label.encode() + b"\n"
            elif name == "big.pak" and label == "B":
                # Most of A's chunks, so that updates either way are deltas: an insert at the
                # front and a rewrite in the middle.
                old = versions["A"][name]
                middle = len(old) // 2
                files[name] = (rng.randbytes(100003) + old[:middle] + rng.randbytes(65536) +
                               old[middle + 65536:])
            elif name == "big.pak":
                files[name] = rng.randbytes(3 * MIB + rng.randint(0, MIB))
            elif name in ("mid.pak", "mid2.pak"):
                # Above the size whose downloads the launcher records in both versions: the
                # record's writes make the same number of changes either way.
                files[name] = rng.randbytes(MIB + rng.randint(0, MIB // 2))
            elif name == "same.txt":
                files[name] = b"the same in both versions\n"
            else:
                files[name] = rng.randbytes(smalls[int(name[1:3])] + (label == "B"))
        files["only_%s.dat" % label.lower()] = rng.randbytes(rng.randint(1000, 30000))
        versions[label] = files
    return versions


class PackageRounds:
    NAME = "package update"
    PHASES = ("before downloads", "in downloads", "downloaded, before a move", "between moves",
              "after the moves")

    def __init__(self, c, runner, violations, rng, link=PACKAGE_FOLDER, published=None):
        """link: the site's folder of the game's manifest; published: a PackageRounds whose
        versions (already published) this one's game shares."""
        self.c = c
        self.runner = runner
        self.violations = violations
        self.rng = rng
        self.link = link
        self.versions = published.versions if published else make_versions(rng, c.recorder)
        self.catalogue = published.catalogue if published else None
        self.manifests = published.manifests if published else {}
        self.installed = None
        self.files = {}  # package-folder name -> content, as last checked
        self.phases = dict.fromkeys(self.PHASES, 0)
        self.kills = 0
        self.backups_left = 0  # kills after which the backup folder was there
        self.offline = {"old": 0, "new": 0, "mixed": 0}  # what the offline start after each ran

    def publish_all(self, catalogue):
        """Both versions, under /A/ and /B/; publish() points /pkg/, the folder of the game's
        manifest, at one of them."""
        c = self.c
        self.catalogue = catalogue
        for label, files in self.versions.items():
            c.manifest_version = "1.0.%d" % (ord(label) - ord("A"))
            # big.pak has a chunk index: kills land in delta updates too.
            index = index_bytes(files["big.pak"])
            manifest = json.loads(c.manifest_bytes(files=files))
            for entry in manifest["files"]:
                if entry["name"] == "big.pak":
                    entry["chunks"] = {"name": "big.pak.chunks", "size": len(index),
                                       "sha256": hashlib.sha256(index).hexdigest()}
            self.manifests[label] = (json.dumps(manifest, indent=2) + "\n").encode()
            c.put_signed("/%s/manifest.json" % label, self.manifests[label])
            c.server.put("/%s/big.pak.chunks" % label, index)
            for name, content in files.items():
                c.server.put("/%s/%s" % (label, name), content)

    def publish(self, label):
        # A new link renamed over the old one: the server never sees a half-switched folder.
        link = os.path.join(self.c.server.site, self.link)
        os.symlink(label, link + ".switch")
        os.replace(link + ".switch", link)

    def snapshot(self):
        """Package-folder name -> content of every file but the temporaries, the launcher's
        own records (their names begin with "..") and the game's record."""
        folder = self.c.package_dir
        return {name: read_or_none(os.path.join(folder, name)) for name in os.listdir(folder)
                if not name.endswith(".new") and not name.startswith("recorder.json") and
                not name.startswith("..")}

    def temporaries(self):
        """The ".new" files, the journal and the backup folder (with a "/"), which no finished
        run leaves."""
        return sorted(name + "/" if name == BACKUP_FOLDER else name
                      for name in os.listdir(self.c.package_dir)
                      if name.endswith(".new") or name in (BACKUP_FOLDER, JOURNAL))

    def begin_update(self):
        """Publishes the version that is not installed; returns (old, new): package-folder name
        -> content before and after the update (None: absent). The file that only that version
        has is removed first, so that each update brings a new file."""
        target = "B" if self.installed == "A" else "A"
        alone = "only_%s.dat" % target.lower()
        if self.files.pop(alone, None) is not None:
            os.remove(os.path.join(self.c.package_dir, alone))
        old = dict(self.files)
        new = dict(old)
        new.update(self.versions[target])
        new["games.json"] = self.catalogue
        new["manifest.json"] = self.manifests[target]
        self.publish(target)
        self.installed = target
        return old, new

    def install(self):
        self.publish("A")
        outcome = self.runner.run(self.c.game_dir)
        self.installed = "A"
        self.files = self.snapshot()
        if outcome.code != 0 or any(self.files.get(name) != content
                                    for name, content in self.versions["A"].items()):
            raise RuntimeError("installing version A failed (exit %d):\n%s" % (
                outcome.code, outcome.output))

    def update(self, round_text, new):
        """Runs the launcher to the end and checks that the package is new; returns the changes
        it made and the window for a kill from outside that it shows (None without a download):
        from the first download to the last change, the saved manifest."""
        recorder = self.c.recorder_path()
        if os.path.exists(recorder):
            os.remove(recorder)
        measured, outcome = traced_run(self.runner, self.c.work, self.c.game_dir,
                                       b"[*] downloading ")
        if outcome.code != 0 or not os.path.exists(recorder):
            self.violations.other("%s: the run ended with %d%s:\n%s" % (
                round_text, outcome.code, "" if os.path.exists(recorder) else
                " and did not start the game", measured.output))
        self.check_complete(round_text, new)
        changes = measured.own_changes()
        if measured.marked is None or not changes:
            return changes, None
        return changes, [(measured.marked, changes[-1][0])]

    def measure(self):
        """Uninterrupted updates, from one version to the other and back: the plan of the
        kills."""
        counts = []
        windows = []
        for number in range(MEASURED_RUNS):
            _, new = self.begin_update()
            changes, window = self.update("uninterrupted update %d" % (number + 1), new)
            counts.append(len(changes))
            windows.append(window)
        if len(set(counts)) != 1 or counts[0] == 0 or None in windows:
            raise RuntimeError("uninterrupted updates made %r file changes" % counts)
        plan = KillPlan(self.rng, counts[0])
        for window in windows:
            plan.observe(window)
        return plan

    def check_after_kill(self, round_text, old, new):
        """Every file old or new; returns the phase that the kill hit."""
        folder = self.c.package_dir
        moved = []
        for name in sorted(set(old) | set(new)):
            actual = read_or_none(os.path.join(folder, name))
            if actual != old.get(name) and actual != new.get(name):
                self.violations.file("%s: Velm Co-op/%s is %s; expected %s" % (
                    round_text, name, describe(actual, old.get(name), new.get(name)),
                    expectation(old.get(name), new.get(name))))
            elif actual != old.get(name):
                moved.append(name)
        # The saved copies are written after the package files; they tell no phase apart.
        pending = [name for name in new if new[name] != old.get(name) and
                   name not in SAVED_COPIES]
        if all(name in moved for name in pending):
            return "after the moves"
        if any(name in moved for name in pending):
            return "between moves"
        if not any(name.endswith(".new") and name[:-4] in pending
                   for name in self.temporaries()):
            return "before downloads"
        downloaded = all(read_or_none(os.path.join(folder, name + ".new")) == new[name]
                         for name in pending)
        return "downloaded, before a move" if downloaded else "in downloads"

    def offline_start(self, round_text, old, new):
        """The start without a server after a kill: it must run a whole package, old or new,
        never some files of each. Files only one version has count as absent in the other."""
        recorder = self.c.recorder_path()
        if os.path.exists(recorder):
            os.remove(recorder)
        outcome = self.runner.run(self.c.game_dir, {"VELM_COOP_OFFLINE": "1"})
        started = os.path.exists(recorder)
        folder = self.c.package_dir
        names = sorted((set(old) | set(new)) - set(SAVED_COPIES))
        actual = {name: read_or_none(os.path.join(folder, name)) for name in names}
        whole = [label for label, version in (("old", old), ("new", new))
                 if all(actual[name] == version.get(name) for name in names)]
        if not whole and started:
            mixed = [name for name in names if actual[name] != old.get(name)]
            self.violations.file("%s, an offline start: started a mixed package (%s new)" % (
                round_text, ", ".join(mixed)))
        elif outcome.code != 0 or not started:
            self.violations.other("%s, an offline start: ended with %d%s:\n%s" % (
                round_text, outcome.code, "" if started else " and did not start the game",
                outcome.output))
        self.offline[whole[0] if whole else "mixed"] += 1

    def check_complete(self, round_text, new):
        self.files = self.snapshot()
        for name in sorted(set(new) | set(self.files)):
            actual = self.files.get(name)
            if actual != new.get(name):
                wanted = new.get(name)
                self.violations.file("%s: Velm Co-op/%s is %s; expected %s" % (
                    round_text, name, describe(actual, None, wanted),
                    "absent" if wanted is None else "the new content (%d bytes)" % len(wanted)))
        leftovers = self.temporaries()
        if leftovers:
            self.violations.other("%s: left %s" % (round_text, ", ".join(leftovers)))

    def run(self, wanted):
        self.install()
        plan = self.measure()
        print("package update: %d files; kills from outside at %s, from inside before one of "
              "%d changes" % (len(self.versions["A"]), windows_text(plan.windows()),
                              plan.changes), flush=True)
        rounds = 0
        while self.kills < wanted and rounds < 2 * wanted:
            rounds += 1
            source = self.installed
            old, new = self.begin_update()
            outcome, how = plan.run(self.runner, self.c.game_dir)
            round_text = "package round %d (%s to %s, killed %s)" % (rounds, source,
                                                                     self.installed, how)
            if outcome.killed():
                self.count_kill(self.check_after_kill(round_text, old, new))
                self.offline_start(round_text, old, new)
            elif outcome.code != 0:
                self.violations.other("%s: the launcher ended with %d before the kill:\n%s" % (
                    round_text, outcome.code, outcome.output))
            changes, window = self.update(round_text + ", the next run", new)
            if not outcome.killed():
                # The run updated the package untouched, so the next one had nothing to do: a
                # fresh update times the kills instead, or a plan that runs late would never
                # learn from a run again once its kills all come after the end.
                _, new = self.begin_update()
                changes, window = self.update(round_text + ", an update timed", new)
            if window and len(changes) == plan.changes:  # a whole update: it times the next
                plan.observe(window)
        print("package update: %d kills in %d rounds: %s; %d left the backup folder; the last "
              "kills from outside at %s" % (self.kills, rounds, self.phases_text(),
                                            self.backups_left, windows_text(plan.windows())),
              flush=True)

    def count_kill(self, phase):
        self.kills += 1
        self.phases[phase] += 1
        if os.path.isdir(os.path.join(self.c.package_dir, BACKUP_FOLDER)):
            self.backups_left += 1

    def phases_text(self):
        return ", ".join("%d %s" % (self.phases[p], p) for p in self.PHASES) + (
            "; the offline start after each ran %(old)d whole old, %(new)d whole new and "
            "%(mixed)d mixed packages" % self.offline)


HELD_FILE = "mid2.pak"  # in the middle of the manifest: files are moved in before and after it
BRIEF_HOLD_MS = 1500  # within the launcher's longest wait for a held file: the move succeeds
LONG_HOLD_MS = 60000  # past it: the move fails and the launcher puts back what it moved in


class HeldRounds(PackageRounds):
    """Package updates while another program seems to hold the file in the middle of the
    manifest (VELM_HOLD), in a game folder of their own that shares the package lane's
    versions. Held briefly, the launcher waits for the file and completes the update: a kill
    comes from inside before any change of the run, or from outside during the wait. Held for
    good, it gives the file up after its longest wait and puts back every file that it had
    moved in: a kill comes from inside before one of the put-back's changes. Every run is
    traced; a kill whose last traced call was held came while held, and one after a long hold's
    held calls came in the put-back."""

    NAME = "held package update"
    PHASES = ("while held", "in the put-back") + PackageRounds.PHASES
    WAITING = "[*] waiting for %s, which another program holds" % HELD_FILE

    def __init__(self, c, runner, violations, rng, link, published):
        super().__init__(c, runner, violations, rng, link, published)
        self.kinds = {"put-back": 0, "held": 0}  # kills per kind of round

    def held_run(self, milliseconds, kill_at=None, delay=None):
        """Runs the launcher with the held file held for milliseconds; kill_at: a change before
        which it kills itself; delay: a kill from outside that long after the first held call.
        Returns its Outcome and its own traced calls."""
        recorder = self.c.recorder_path()
        if os.path.exists(recorder):
            os.remove(recorder)
        trace = trace_path(self.runner, self.c.work)
        env = {"VELM_KILL_TRACE": trace, "VELM_HOLD": "%s:%d" % (HELD_FILE, milliseconds)}
        if kill_at is not None:
            env["VELM_KILL_AT"] = str(kill_at)
        process = self.runner.start(self.c.game_dir, env)
        if delay is not None and wait_until_held(trace, process):
            time.sleep(delay)
            self.runner.kill(process)
        outcome = self.runner.finish(process)
        calls = [call for call in read_trace(trace, process.started) if call[1] == process.pid]
        return outcome, calls

    def check_ran(self, round_text, outcome, lines):
        """The run started the game and told of the wait once; returns whether it started."""
        started = outcome.code == 0 and os.path.exists(self.c.recorder_path())
        if not started:
            self.violations.other("%s: the run ended with %d%s:\n%s" % (
                round_text, outcome.code, "" if os.path.exists(self.c.recorder_path()) else
                " and did not start the game", outcome.output))
        if lines.count(self.WAITING) != 1:
            self.violations.other("%s: %d lines %r; expected one:\n%s" % (
                round_text, lines.count(self.WAITING), self.WAITING, outcome.output))
        return started

    def measure(self):
        """An uninterrupted update with the file held briefly, which must complete, and one with
        it held for good, which must leave the package as it was. Returns how many changes the
        first makes, how long its wait lasted and the put-back's changes in the second."""
        _, new = self.begin_update()
        round_text = "uninterrupted update with %s held for %d ms" % (HELD_FILE, BRIEF_HOLD_MS)
        outcome, calls = self.held_run(BRIEF_HOLD_MS)
        lines = outcome.output.splitlines()
        self.check_ran(round_text, outcome, lines)
        self.check_complete(round_text, new)
        if "[+] %s updated" % HELD_FILE not in lines:
            self.violations.other("%s: no line \"[+] %s updated\":\n%s" % (
                round_text, HELD_FILE, outcome.output))
        held = [number for number, call in enumerate(calls) if call[2].startswith(HELD_CALL)]
        changes = len(calls) - len(held)
        if not held or held[-1] + 1 == len(calls) or changes == 0:
            raise RuntimeError("%s: the hold did not show in the trace:\n%s" % (
                round_text, outcome.output))
        wait = calls[held[-1] + 1][0] - calls[held[0]][0]
        old, new = self.begin_update()
        put_back = self.held_for_good("uninterrupted update with %s held for good" % HELD_FILE,
                                      old)
        self.update("the run after the update with %s held for good" % HELD_FILE, new)
        return changes, wait, put_back

    def held_for_good(self, round_text, old):
        """Runs the launcher with the file held for good: it must say so, leave every file as
        it was and start the game. Returns the first and the last change of its put-back."""
        outcome, calls = self.held_run(LONG_HOLD_MS)
        lines = outcome.output.splitlines()
        started = self.check_ran(round_text, outcome, lines)
        now = self.snapshot()
        for name in sorted(set(old) | set(now)):
            if now.get(name) != old.get(name):
                self.violations.file("%s: Velm Co-op/%s is %s; expected %s" % (
                    round_text, name, describe(now.get(name), old.get(name), None),
                    "absent" if old.get(name) is None else
                    "the old content (%d bytes)" % len(old[name])))
        self.files = now
        leftovers = self.temporaries()
        if leftovers:
            self.violations.other("%s: left %s" % (round_text, ", ".join(leftovers)))
        pattern = r"\[!\] could not replace %s \((\S.*\S)\) -- is the game running\?" % (
            re.escape(HELD_FILE))
        failures = [line for line in lines if re.fullmatch(pattern, line)]
        if len(failures) != 1 or any(line.startswith("[+] ") for line in lines):
            self.violations.other("%s: expected one line \"[!] could not replace %s (...) -- "
                                  "is the game running?\" and no \"[+]\" line:\n%s" % (
                                      round_text, HELD_FILE, outcome.output))
        elif started and ("Could not update Velm Co-op (%s) -- starting the installed version." %
                          failures[0][4:]) not in lines:
            self.violations.other("%s: no line \"Could not update Velm Co-op (%s) -- starting "
                                  "the installed version.\":\n%s" % (
                                      round_text, failures[0][4:], outcome.output))
        held = [number for number, call in enumerate(calls) if call[2].startswith(HELD_CALL)]
        if not held:
            raise RuntimeError("%s: the hold did not show in the trace:\n%s" % (
                round_text, outcome.output))
        # Changes are counted from 1; the saved copies, written last, are not the put-back's.
        first = held[-1] + 1 - len(held) + 1
        last = len(calls) - len(held)
        while last >= first and destination(calls[last + len(held) - 1][2]).startswith(
                SAVED_COPIES):
            last -= 1
        if last < first:
            raise RuntimeError("%s: no change after the held calls:\n%s" % (
                round_text, outcome.output))
        return first, last

    def check_not_tried(self, round_text, old):
        """After a kill in the put-back: the held file and those after it are as they were."""
        names = list(self.versions[self.installed])
        for name in names[names.index(HELD_FILE):]:
            actual = read_or_none(os.path.join(self.c.package_dir, name))
            if actual != old.get(name):
                self.violations.other("%s: Velm Co-op/%s is %s, though the launcher gave up at "
                                      "%s before it; expected %s" % (
                                          round_text, name, describe(actual, old.get(name), None),
                                          HELD_FILE, expectation(old.get(name), None)))

    def run(self, wanted):
        """wanted: kills with the file held for good, and with it held briefly."""
        put_backs, helds = wanted
        self.install()
        changes, wait, (first, last) = self.measure()
        print("held package update: %s held for %d ms, kills from inside before one of %d "
              "changes or from outside within %.0f ms of the first held call; held for good, "
              "from inside before one of the put-back's changes %d-%d" % (
                  HELD_FILE, BRIEF_HOLD_MS, changes, wait * 1000, first, last), flush=True)
        rounds = 0
        brief = 0  # rounds with a brief hold: they alternate kills from inside and from outside
        while rounds < 2 * (put_backs + helds):
            left = {"put-back": put_backs - self.kinds["put-back"],
                    "held": helds - self.kinds["held"]}
            if left["put-back"] <= 0 and left["held"] <= 0:
                break
            rounds += 1
            weights = [max(0, left[kind]) for kind in ("put-back", "held")]
            kind = self.rng.choices(("put-back", "held"), weights)[0]
            source = self.installed
            old, new = self.begin_update()
            if kind == "put-back":
                point = self.rng.randint(first, last)
                outcome, calls = self.held_run(LONG_HOLD_MS, kill_at=point)
                how = "held for good, killed before change %d of %d-%d" % (point, first, last)
            elif brief % 2 == 0:
                brief += 1
                point = self.rng.randint(1, changes)
                outcome, calls = self.held_run(BRIEF_HOLD_MS, kill_at=point)
                how = "held %d ms, killed before change %d of %d" % (BRIEF_HOLD_MS, point,
                                                                     changes)
            else:
                brief += 1
                delay = self.rng.uniform(0, wait)
                outcome, calls = self.held_run(BRIEF_HOLD_MS, delay=delay)
                how = "held %d ms, killed %.1f ms after the first held call" % (
                    BRIEF_HOLD_MS, delay * 1000)
            round_text = "held package round %d (%s to %s, %s)" % (rounds, source,
                                                                    self.installed, how)
            if outcome.killed():
                phase = self.check_after_kill(round_text, old, new)
                if any(call[2].startswith(HELD_CALL) for call in calls):
                    if calls[-1][2].startswith(HELD_CALL):
                        phase = "while held"
                    elif kind == "put-back":
                        phase = "in the put-back"
                if kind == "put-back":
                    self.check_not_tried(round_text, old)
                self.count_kill(phase)
                self.kinds[kind] += 1
                self.offline_start(round_text, old, new)
            elif outcome.code != 0:
                self.violations.other("%s: the launcher ended with %d before the kill:\n%s" % (
                    round_text, outcome.code, outcome.output))
            self.update(round_text + ", the next run", new)
        print("held package update: %d kills in %d rounds (%d held for good, %d held for %d ms): "
              "%s; %d left the backup folder" % (
                  self.kills, rounds, self.kinds["put-back"], self.kinds["held"], BRIEF_HOLD_MS,
                  self.phases_text(), self.backups_left), flush=True)


