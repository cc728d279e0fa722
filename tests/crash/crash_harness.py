"""What the crash test's lanes share: the record of what went wrong, the words for a file's
content, the Runner that starts the launcher and waits for all that it started, runs traced by
the kill-point library, and the KillPlan that draws the moment of each kill."""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

# The end-to-end scenarios' harness serves here too: the lanes and crash.py import from it.
E2E = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e")
if E2E not in sys.path:
    sys.path.insert(0, E2E)
from harness import sha256  # noqa: E402

RUN_TIMEOUT = 60  # seconds; an uninterrupted run takes well under one
MEASURED_RUNS = 3  # uninterrupted runs before the first kill, to time the kills by
RECENT_RUNS = 7  # the latest uninterrupted runs, whose medians time the kills
# Held while a lane starts a process and while one writes a program file: a child between fork
# and exec holds every descriptor of the moment, and a program file open for writing anywhere
# cannot be started (ETXTBSY).
SPAWN_LOCK = threading.Lock()
HELD_CALL = "held "  # the kill-point library's trace of a call that VELM_HOLD failed


class Violations:
    """Everything that went wrong, in order; files in a wrong state are counted apart."""

    def __init__(self):
        self.lines = []
        self.bad_files = 0
        self.lock = threading.Lock()

    def file(self, text):
        with self.lock:
            self.bad_files += 1
        self.other(text)

    def other(self, text):
        with self.lock:
            self.lines.append(text)
            print("VIOLATION " + text, flush=True)


def read_or_none(path):
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


def describe(actual, old, new):
    """What a file holds, in words that tell how it differs from the old and the new content."""
    if actual is None:
        return "absent"
    size = len(actual)
    if size == 0:
        return "empty"
    if actual.count(0) == size:
        return "%d bytes, all zero" % size
    for label, reference in (("new", new), ("old", old)):
        if reference is not None and size < len(reference) and reference.startswith(actual):
            return "%d bytes: the first %d of the %s content's %d (truncated)" % (
                size, size, label, len(reference))
    parts = ["%d bytes, sha256 %s" % (size, sha256(actual)[:16])]
    for label, reference in (("old", old), ("new", new)):
        if reference is not None:
            same = next((i for i, (a, b) in enumerate(zip(actual, reference)) if a != b),
                        min(size, len(reference)))
            parts.append("equal to the %s content (%d bytes) up to byte %d" % (
                label, len(reference), same))
    return "; ".join(parts)


def expectation(old, new):
    words = ["absent" if old is None else "the old content (%d bytes)" % len(old)]
    if new is not None and new != old:
        words.append("the new content (%d bytes)" % len(new))
    return " or ".join(words)


class Outcome:
    """How one run ended: the exit status of the launcher that was started (-9: killed), how
    long it ran, whether a launcher that it started (a relaunched build) was killed, the output
    of them all, and when its first line with the marker came (seconds from the start)."""

    def __init__(self, code, duration):
        self.code = code
        self.duration = duration
        self.relaunched_killed = False
        self.output = ""
        self.marked = None

    def killed(self):
        return self.code == -signal.SIGKILL or self.relaunched_killed


class Runner:
    """Starts the launcher in its own process group and waits for every process of that group,
    so that a kill takes the launcher with whatever it started, and nothing outlives a round.
    Every run is started alike, with the kill-point library and its output read as it comes,
    so that runs that are timed and runs that are killed by that timing run at the same pace."""

    def __init__(self, platform, name, env, kill_point):
        """name tells its runs apart from another Runner's; env is added to every run's
        environment."""
        self.platform = platform
        self.env = dict(env, LD_PRELOAD=kill_point)
        self.name = name
        # The kernel's name of a launcher process, to tell a relaunched build from the game.
        self.comm = os.path.basename(platform.launcher)[:15]

    def start(self, game_dir, env=None, marker=None):
        command, environment = self.platform.command(game_dir, [], dict(self.env, **(env or {})))
        with SPAWN_LOCK:
            process = subprocess.Popen(command, cwd=tempfile.gettempdir(), env=environment,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, start_new_session=True)
        process.started = time.monotonic()
        process.lines = []
        process.marks = []

        def read():
            for line in process.stdout:
                if marker and not process.marks and marker in line:
                    process.marks.append(time.monotonic() - process.started)
                process.lines.append(line)

        # The pipe ends only with the last process that holds it: read aside, so that the
        # launcher's own end is what finish() times.
        process.reader = threading.Thread(target=read)
        process.reader.start()
        return process

    def kill(self, process):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def finish(self, process):
        """Waits for the launcher and then for every other process of its group; a run that
        hangs is killed after RUN_TIMEOUT. (Popen.wait with a time-out polls, up to 50 ms late.)"""
        watchdog = threading.Timer(RUN_TIMEOUT, self.kill, (process,))
        watchdog.start()
        try:
            outcome = Outcome(process.wait(), time.monotonic() - process.started)
            while True:
                try:
                    # WNOWAIT keeps the process a zombie, whose name can still be read.
                    info = os.waitid(os.P_PGID, process.pid, os.WEXITED | os.WNOWAIT)
                except ChildProcessError:
                    break
                try:
                    with open("/proc/%d/comm" % info.si_pid) as file:
                        name = file.read().strip()
                except OSError:
                    name = ""
                os.waitpid(info.si_pid, 0)
                if (info.si_code in (os.CLD_KILLED, os.CLD_DUMPED) and
                        info.si_status == signal.SIGKILL and name == self.comm):
                    outcome.relaunched_killed = True
            process.reader.join()
            process.stdout.close()
        finally:
            watchdog.cancel()
        outcome.output = b"".join(process.lines).decode("utf-8", errors="replace")
        outcome.marked = process.marks[0] if process.marks else None
        return outcome

    def run(self, game_dir, env=None):
        return self.finish(self.start(game_dir, env))


class Measured:
    """An uninterrupted run: its output, the time its first line with a marker came and the
    time a watched file first held a byte (seconds from the start, or None), and the calls
    the kill-point library traced, one (seconds from the start, pid, call and paths) each: the
    changes, and the calls that VELM_HOLD failed, whose call starts with HELD_CALL."""

    def __init__(self, pid, output, marked, filled, changes):
        self.pid = pid
        self.output = output
        self.marked = marked
        self.filled = filled
        self.changes = changes

    def own_calls(self):
        """The traced calls of the started launcher itself, not of what it started."""
        return [change for change in self.changes if change[1] == self.pid]

    def own_changes(self):
        """The started launcher's changes: its calls but the held ones, which change nothing."""
        return [change for change in self.own_calls() if not change[2].startswith(HELD_CALL)]


def read_trace(path, started):
    """The calls traced to path, each as (seconds from started, pid, call and paths)."""
    calls = []
    if os.path.exists(path):
        with open(path) as file:
            for line in file:
                stamp, pid, what = line.rstrip("\n").split(" ", 2)
                calls.append((int(stamp) / 1e9 - started, int(pid), what))
    return calls


def trace_path(runner, work):
    """The trace file of a runner's runs, emptied for the next one."""
    trace = os.path.join(work, runner.name + "-trace.txt")
    if os.path.exists(trace):
        os.remove(trace)
    return trace


def wait_until_filled(path, process):
    """Polls until the file at path holds a byte or the launcher has ended; returns whether it
    does."""
    while process.poll() is None:
        try:
            if os.stat(path).st_size > 0:
                return True
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    return False


def wait_until_held(trace, process):
    """Polls until the launcher's trace shows a call that VELM_HOLD failed or the launcher has
    ended; returns whether it does."""
    while process.poll() is None:
        try:
            with open(trace) as file:
                lines = file.read().split("\n")[:-1]  # the last may be half written
        except FileNotFoundError:
            lines = []
        if any(line.split(" ", 2)[2].startswith(HELD_CALL) for line in lines):
            return True
        time.sleep(0.0005)
    return False


def destination(call):
    """The name that a traced call changes: the new name of a rename or link, the deleted one."""
    return os.path.basename(call.split(" ", 1)[1].split(" -> ")[-1])


def traced_run(runner, work, game_dir, marker, watched=None):
    """An uninterrupted run with its changes traced and its output timed: returns its Measured
    and its Outcome."""
    trace = trace_path(runner, work)
    process = runner.start(game_dir, {"VELM_KILL_TRACE": trace}, marker)
    filled = None
    if watched and wait_until_filled(watched, process):
        filled = time.monotonic() - process.started
    outcome = runner.finish(process)
    changes = read_trace(trace, process.started)
    return Measured(process.pid, outcome.output, outcome.marked, filled, changes), outcome


class KillPlan:
    """Draws the moment of one kill: a delay for a kill from outside, or a change before which
    the launcher kills itself. The delays follow the recent uninterrupted runs (observe()), so
    that they keep up with a machine whose load changes."""

    def __init__(self, rng, changes, watched=None):
        """changes: how many an uninterrupted run makes. Half the kills come from inside, half
        from outside at a delay drawn over the windows. With a watched file a quarter come from
        inside, a quarter from outside within the download's length after that file first held
        a byte (a download that is short beside the run around it gets its share), and half at
        a delay."""
        self.rng = rng
        self.changes = changes
        self.watched = watched
        self.samples = []

    def observe(self, windows, transfer=0.0):
        """One uninterrupted run: windows, (start, end) spans in seconds from its start, in
        which a kill from outside should land (each as likely), and the download's length."""
        self.samples = self.samples[1 - RECENT_RUNS:] + [(windows, transfer)]

    def windows(self):
        spans = zip(*(windows for windows, _ in self.samples))
        return [(median(start for start, _ in span), median(end for _, end in span))
                for span in spans]

    def transfer(self):
        return median(transfer for _, transfer in self.samples)

    def run(self, runner, game_dir):
        """Runs the launcher and kills it; returns its Outcome and how the kill was drawn."""
        draw = self.rng.random()
        if self.watched and draw < 1 / 4:
            delay = self.rng.uniform(0, self.transfer())
            process = runner.start(game_dir)
            if wait_until_filled(self.watched, process):
                time.sleep(delay)
                runner.kill(process)
            return runner.finish(process), "%.1f ms into the download" % (delay * 1000)
        if draw >= (3 / 4 if self.watched else 1 / 2):
            point = self.rng.randint(1, self.changes)
            outcome = runner.run(game_dir, {"VELM_KILL_AT": str(point)})
            return outcome, "before change %d of %d" % (point, self.changes)
        delay = self.rng.uniform(*self.rng.choice(self.windows()))
        process = runner.start(game_dir)
        time.sleep(max(0.0, process.started + delay - time.monotonic()))
        runner.kill(process)
        return runner.finish(process), "after %.1f ms" % (delay * 1000)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def windows_text(windows):
    return " or ".join("%.0f-%.0f ms" % (start * 1000, end * 1000) for start, end in windows)

