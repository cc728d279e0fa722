"""The end-to-end harness: a local HTTPS catalogue server, signed documents, a game folder and
the built launcher, run as a player would run it (natively, or "Velm Co-op.exe" under Wine).

Run inside tests/https/run_with_ca.sh so that the launcher trusts the test CA. The server's
port is the one built into the launcher (VELM_CATALOGUE_HOST).
"""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HTTPS = os.path.join(os.path.dirname(HERE), "https")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure("%s:\n  expected: %r\n  actual:   %r" % (what, expected, actual))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Server:
    """server.py on the launcher's built-in port, serving `site` with faults from faults.json."""

    def __init__(self, work, port, site=None, certs=None):
        """Serves site (default WORK/site) on port; makes the certificates in certs (default
        WORK/certs) unless they are there."""
        self.work = work
        self.port = port
        self.site = site or os.path.join(work, "site")
        self.faults_path = os.path.join(work, "faults.json")
        self.log_path = os.path.join(work, "requests.log")
        self.certs = certs or os.path.join(work, "certs")
        self.process = None
        self.http_port = 0  # the plain listener's port while one runs (start(http_port=...))
        subprocess.run([os.path.join(HTTPS, "make_certs.sh"), self.certs], check=True,
                       stdout=subprocess.DEVNULL)

    def start(self, http_port=None):
        """Starts the server; with http_port (0 for a free one) also a plain HTTP listener,
        whose port is then in self.http_port."""
        os.makedirs(self.site, exist_ok=True)
        ready = os.path.join(self.work, "ready")
        if os.path.exists(ready):
            os.remove(ready)
        plain = [] if http_port is None else ["--http-port", str(http_port)]
        self.process = subprocess.Popen(
            ["python3", os.path.join(HTTPS, "server.py"), "--root", self.site,
             "--cert", os.path.join(self.certs, "server.pem"),
             "--key", os.path.join(self.certs, "server.key"),
             "--port", str(self.port), "--faults", self.faults_path, "--log", self.log_path,
             "--ready-file", ready, "--exit-with", str(os.getpid())] + plain,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.work, "server.err"), "ab"))
        for _ in range(300):
            if os.path.exists(ready) and os.path.getsize(ready) > 0:
                with open(ready) as file:
                    ports = dict(line.strip().split("=", 1) for line in file if "=" in line)
                self.http_port = int(ports.get("HTTP_PORT", "0"))
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        raise Failure("the test server did not start: " +
                      open(os.path.join(self.work, "server.err")).read())

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def reset(self):
        """An empty site, no faults, an empty request log."""
        shutil.rmtree(self.site, ignore_errors=True)
        os.makedirs(self.site)
        self.set_faults({})
        open(self.log_path, "w").close()

    def set_faults(self, faults):
        # Written under another name and renamed, so the server never reads half a file.
        temporary = self.faults_path + ".tmp"
        with open(temporary, "w") as file:
            json.dump(faults, file)
        # A new inode each time: the server notices every change.
        os.replace(temporary, self.faults_path)

    def put(self, path, data):
        target = os.path.join(self.site, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as file:
            file.write(data)

    def requests(self):
        """The request targets served since the last reset, in order."""
        with open(self.log_path) as file:
            return [line.split()[4] for line in file if len(line.split()) >= 5]

    def log(self):
        """Every request since the last reset, as a dict: connection, status (an int, or None
        when none was sent), target, range (the Range header or None) and sent (body bytes)."""
        entries = []
        with open(self.log_path) as file:
            for line in file:
                fields = line.split()
                if len(fields) < 7:
                    continue
                entries.append({"connection": fields[1],
                                "status": int(fields[3]) if fields[3].isdigit() else None,
                                "target": fields[4],
                                "range": None if fields[5] == "-" else fields[5],
                                "sent": int(fields[6])})
        return entries

    def reset_log(self):
        open(self.log_path, "w").close()

    def requests_with_scheme(self):
        """(scheme, request target) of every request since the last reset, in order."""
        with open(self.log_path) as file:
            return [(line.split()[0], line.split()[4]) for line in file
                    if len(line.split()) >= 5]


class Signer:
    def __init__(self, key_path):
        self.key_path = key_path

    def signature_hex(self, data):
        with tempfile.NamedTemporaryFile(delete=False) as document:
            document.write(data)
        try:
            raw = subprocess.run(
                ["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", self.key_path,
                 "-in", document.name], check=True, stdout=subprocess.PIPE).stdout
        finally:
            os.remove(document.name)
        check_equal(len(raw), 64, "Ed25519 signature length")
        return raw.hex()


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    def out_lines(self):
        return self.stdout.split("\n")[:-1] if self.stdout else []

    def err_lines(self):
        return self.stderr.split("\n")[:-1] if self.stderr else []

    def __repr__(self):
        return "exit %d\n--- stdout\n%s--- stderr\n%s" % (self.code, self.stdout, self.stderr)


class Platform:
    """How the launcher under test is installed and started: native or under Wine."""

    def __init__(self, launcher, recorder, wine):
        self.launcher = launcher
        self.recorder = recorder
        self.wine = wine
        self.exe_name = "Velm Co-op.exe" if wine else os.path.basename(launcher)

    def folder_text(self, path):
        """A folder as the launcher names it in its messages."""
        if self.wine:
            return "Z:" + path.replace("/", "\\")
        return path

    def join(self, folder_text, name):
        return folder_text + ("\\" if self.wine else "/") + name

    def install(self, game_dir, launcher=None):
        os.makedirs(game_dir, exist_ok=True)
        target = os.path.join(game_dir, self.exe_name)
        shutil.copyfile(launcher or self.launcher, target)
        os.chmod(target, 0o755)
        return target

    def command(self, game_dir, arguments, env):
        exe = os.path.join(game_dir, self.exe_name)
        command = (["wine", exe] if self.wine else [exe]) + list(arguments)
        environment = dict(os.environ)
        for name in list(environment):
            if name.upper() in ("VELM_COOP_OFFLINE", "VELM_COOP_UPDATED", "STEAMAPPID",
                                "STEAMGAMEID"):
                del environment[name]
        environment.update(env or {})
        return command, environment

    def run(self, game_dir, arguments=(), env=None, merge=False, timeout=120):
        """Runs the launcher from another folder with standard input from /dev/null, until it
        and everything that holds its output have ended."""
        result = self.finish(self.start(game_dir, arguments, env, merge), timeout)
        if self.wine and result.code == 1 and not result.stdout and not result.stderr:
            # The launcher prints its banner before it does anything else, so a run without a
            # byte of output never reached it: Wine failed to start the program (seen once in
            # hundreds of CI runs). That is worth a line in the log, not a failed scenario; a
            # second such start in a row still fails it.
            print("INFO wine ended the launcher with exit 1 before its first line; started it "
                  "again. Wine processes then:\n" + wine_processes(), flush=True)
            result = self.finish(self.start(game_dir, arguments, env, merge), timeout)
        return result

    def start(self, game_dir, arguments=(), env=None, merge=False):
        """Starts the launcher as run() does, without waiting; finish() collects its Result."""
        command, environment = self.command(game_dir, arguments, env)
        return subprocess.Popen(
            command, cwd=tempfile.gettempdir(), env=environment, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merge else subprocess.PIPE)

    def finish(self, process, timeout=120):
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise
        return Result(process.returncode, self.text(stdout), self.text(stderr or b""))

    def run_silently(self, game_dir, arguments=(), env=None, timeout=120):
        """Runs the launcher with no output captured and returns its exit code as soon as the
        launcher itself ends (a started game may run on)."""
        command, environment = self.command(game_dir, arguments, env)
        return subprocess.run(command, cwd=tempfile.gettempdir(), env=environment,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def text(self, data):
        text = data.decode("utf-8", errors="replace")
        # The Windows C runtime writes text mode: "\n" arrives as "\r\n".
        return text.replace("\r\n", "\n") if self.wine else text


def wine_processes():
    """One line per running Wine process: its pid and command line."""
    lines = []
    for entry in sorted(os.listdir("/proc"), key=lambda e: (len(e), e)):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as file:
                command = file.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue  # gone meanwhile
        if ("wine" in command or ".exe" in command) and "e2e.py" not in command:
            lines.append("  %s %s" % (entry, command))
    return "\n".join(lines)


def launcher_arguments(parser):
    """The options every runner of the built launcher takes."""
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--key", required=True, help="the private key the launcher trusts")
    parser.add_argument("--host", required=True)
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")


def rerun_trusting_the_test_ca(work, marker):
    """Re-runs this script inside run_with_ca.sh (a private mount namespace in which the test
    server's CA is trusted), with a fresh work folder that holds the certificates. Returns in
    the re-run, where the environment variable marker is "1"."""
    if os.environ.get(marker) == "1":
        return
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    server = Server(work, 0)  # makes the certificates
    os.environ[marker] = "1"
    command = [os.path.join(HTTPS, "run_with_ca.sh"), os.path.join(server.certs, "ca.pem"),
               sys.executable] + sys.argv
    os.execv(command[0], command)


def hold_library():
    """The preload library whose VELM_HOLD=NAME:MS plays, for a native run, another program that
    holds the file NAME (tests/crash/kill_point.cpp); None when this build has none."""
    return os.environ.get("VELM_E2E_HOLD_LIBRARY") or None


def wait_for_file(path, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return False


def files_below(folder):
    """Relative path -> content of every file below folder."""
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            with open(path, "rb") as file:
                found[os.path.relpath(path, folder)] = file.read()
    return found
