"""End-to-end scenarios of the network path on a player's machine: the launcher reaches the
catalogue through the proxy the player set up, and prints what an ordinary run prints.

Natively the proxy comes from https_proxy (libcurl does not exempt localhost by itself, so the
built-in catalogue host localhost:PORT goes through it). Under Wine it comes from the per-user
setting in the prefix's registry: WinHttpGetIEProxyConfigForCurrentUser reads only the
DefaultConnectionSettings record under ...\\Internet Settings\\Connections (not ProxyEnable or
ProxyServer), so that is what the scenarios write, and remove again afterwards.
"""

import os
import signal
import struct
import subprocess
import sys
import time

from harness import HTTPS, Failure, check, check_equal
import planted_dll

CONNECTIONS_KEY = ("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\"
                   "Connections")
SETTINGS_VALUE = "DefaultConnectionSettings"


# --- the proxy and the player's settings ------------------------------------------------------


class Proxy:
    """tests/https/connect_proxy.py on a free port, logging to WORK/proxy.log."""

    def __init__(self, work):
        self.log_path = os.path.join(work, "proxy.log")
        ready = os.path.join(work, "proxy.ready")
        for path in (self.log_path, ready):
            if os.path.exists(path):
                os.remove(path)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HTTPS, "connect_proxy.py"), "--log", self.log_path,
             "--ready-file", ready, "--exit-with", str(os.getpid())],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.port = int(read_ready(ready, self.process)["PROXY_PORT"])
        except BaseException:
            self.stop()
            raise
        self.address = "127.0.0.1:%d" % self.port

    def targets(self):
        """What the proxy was asked for, in order: "CONNECT host:port", ..."""
        with open(self.log_path) as file:
            return [line.rstrip("\n") for line in file]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)


def read_ready(path, process):
    for _ in range(300):
        if os.path.exists(path) and os.path.getsize(path) > 0:
            with open(path) as file:
                return dict(line.strip().split("=", 1) for line in file if "=" in line)
        if process.poll() is not None:
            break
        time.sleep(0.1)
    raise Failure("the proxy did not start")


def connection_settings(proxy="", bypass="", script=""):
    """A DefaultConnectionSettings record as Internet Options writes it: a header (0x46, a
    counter, flags: 1 direct, 2 fixed proxy, 4 proxy script), then the proxy list, the bypass
    list and the script's address, each as a length and its characters."""
    flags = 1 | (2 if proxy else 0) | (4 if script else 0)
    record = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        data = text.encode("ascii")
        record += struct.pack("<I", len(data)) + data
    return record


def wine_reg(*arguments):
    return subprocess.run(["wine", "reg"] + list(arguments), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


class PlayerSettings:
    """The proxy as the player set it: for the native launcher an environment, under Wine the
    per-user record in the prefix's registry, put back as it was by restore()."""

    def __init__(self, c):
        self.wine = c.platform.wine
        self.saved = None
        self.written = False

    def use(self, proxy="", bypass="", script=""):
        """Sets the player's proxy; returns the environment to run the launcher with."""
        if not self.wine:
            check(not script, "the native launcher has no proxy scripts")
            address = "http://" + proxy if proxy else ""
            # Lower and upper case, so none inherited from the machine running the tests counts.
            return {"https_proxy": address, "HTTPS_PROXY": address, "all_proxy": "",
                    "ALL_PROXY": "", "no_proxy": bypass, "NO_PROXY": bypass}
        if not self.written:
            query = wine_reg("query", CONNECTIONS_KEY, "/v", SETTINGS_VALUE)
            if query.returncode == 0:
                self.saved = query.stdout.decode().split()[-1]
        record = connection_settings(proxy, bypass, script).hex()
        added = wine_reg("add", CONNECTIONS_KEY, "/v", SETTINGS_VALUE, "/t", "REG_BINARY",
                         "/d", record, "/f")
        self.written = True
        check(added.returncode == 0, "wine reg add failed: %r" % added.stderr)
        return {}

    def restore(self):
        if not self.written:
            return
        if self.saved is None:
            removed = wine_reg("delete", CONNECTIONS_KEY, "/v", SETTINGS_VALUE, "/f")
        else:
            removed = wine_reg("add", CONNECTIONS_KEY, "/v", SETTINGS_VALUE, "/t", "REG_BINARY",
                               "/d", self.saved, "/f")
        self.written = False
        check(removed.returncode == 0, "the proxy setting was not put back: %r" % removed.stderr)


def install(c, env):
    """A first run in the environment env, whose output must be the ordinary one."""
    c.add_game_exe()
    c.publish()
    result = c.run(env=env)
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(),
                [c.banner()] + c.download_lines(["coop.exe", "data.txt"]) + [c.starting_line()],
                "standard output")
    c.recorded()
    check_equal(c.package_files().get("data.txt"), c.files["data.txt"], "the installed data.txt")


def expect_tunnelled(c, targets):
    check(targets != [], "the proxy was not used")
    check_equal(sorted(set(targets)), ["CONNECT " + c.host], "what the proxy was asked for")


# --- scenarios --------------------------------------------------------------------------------


def installs_through_the_players_proxy(c):
    proxy = Proxy(c.work)
    settings = PlayerSettings(c)
    try:
        install(c, settings.use(proxy=proxy.address))
        expect_tunnelled(c, proxy.targets())
    finally:
        settings.restore()
        proxy.stop()


def hosts_the_player_exempts_bypass_the_proxy(c):
    proxy = Proxy(c.work)
    settings = PlayerSettings(c)
    try:
        host = c.host.rsplit(":", 1)[0]
        install(c, settings.use(proxy=proxy.address, bypass=host))
        check_equal(proxy.targets(), [], "what the proxy was asked for, with %s exempt" % host)
    finally:
        settings.restore()
        proxy.stop()


def proxy_script_of_the_player(c):
    if not c.platform.wine:
        return "skip"  # proxy scripts are a Windows setting; libcurl has none
    proxy = Proxy(c.work)
    settings = PlayerSettings(c)
    c.server.stop()
    c.server.start(http_port=0)  # the script is served over plain http, as it usually is
    try:
        host = c.host.rsplit(":", 1)[0]
        c.server.put("/proxy.pac", (
            "function FindProxyForURL(url, host) {\n"
            "  return host == \"%s\" ? \"PROXY %s\" : \"DIRECT\";\n"
            "}\n" % (host, proxy.address)).encode())
        script = "http://127.0.0.1:%d/proxy.pac" % c.server.http_port
        # Running a script loads DLLs that an ordinary run does not: none may come from the
        # game's folder.
        factory = planted_dll.DllFactory(os.path.join(c.work, "planted-dlls"))
        planted = planted_dll.plant(factory, c.game_dir, c.platform.launcher)
        check("jsproxy" in planted, "jsproxy.dll is not among the planted DLLs")
        install(c, dict(settings.use(script=script), **planted_dll.overrides(planted)))
        planted_dll.expect_no_marker(c, "a run with a proxy script")
        expect_tunnelled(c, proxy.targets())
        check(("http", "/proxy.pac") in c.server.requests_with_scheme(),
              "the proxy script was not fetched")
    finally:
        settings.restore()
        proxy.stop()
        c.server.stop()
        c.server.start()


ALL = [installs_through_the_players_proxy, hosts_the_player_exempts_bypass_the_proxy,
       proxy_script_of_the_player]
