#!/usr/bin/env python3
"""velm-publish end to end: the built tool, checked against openssl and, with --launcher, against
the launcher of the same build fetching a tree that `publish` wrote from a local HTTPS server.

  round_trip.py --tool PATH --work DIR
                [--launcher PATH --key PEM --host HOST:PORT --launcher-keys HEX,HEX...
                 [--windows-launcher PATH]]

--key and --host must be the ones the launcher was built with (its trusted key's private half
and VELM_CATALOGUE_HOST). With --launcher the script re-runs itself inside
tests/https/run_with_ca.sh, so the launcher trusts the test CA and nothing outside does.
Ends with the line "N passed, N failed".
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import ssl
import stat
import subprocess
import sys
import time
import traceback
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
from harness import HTTPS, Failure, Server, check, files_below, wait_for_file  # noqa: E402


def run(tool, *arguments, expect=0):
    """Runs velm-publish; checks the exit code and returns (stdout, stderr)."""
    completed = subprocess.run([tool] + list(arguments), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    out, err = completed.stdout.decode(), completed.stderr.decode()
    check(completed.returncode == expect,
          "velm-publish %s: exit %d, expected %d\n--- stdout\n%s--- stderr\n%s"
          % (" ".join(arguments), completed.returncode, expect, out, err))
    if expect != 0:
        check(err.startswith("velm-publish"), "no reason on standard error: %r" % err)
    return out, err


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as file:
        return file.read()


def openssl_public_hex(key):
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                         check=True, stdout=subprocess.PIPE).stdout
    return der[-32:].hex()


def openssl_verifies(public_pem, document, signature_file, work):
    raw = os.path.join(work, "signature.raw")
    write(raw, bytes.fromhex(read(signature_file).decode().strip()))
    completed = subprocess.run(
        ["openssl", "pkeyutl", "-verify", "-rawin", "-pubin", "-inkey", public_pem,
         "-in", document, "-sigfile", raw], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return completed.returncode == 0


def make_package(folder, launcher_body=b"#!/bin/sh\nexit 0\n"):
    write(os.path.join(folder, "coop.exe"), launcher_body)
    write(os.path.join(folder, "my mod.dll"), b"mod " * 1000)
    write(os.path.join(folder, "extra data.bin"), os.urandom(3000))


def catalogue(host, manifest_url, version="0.0.1"):
    return json.dumps({
        "schema": 1,
        "launcher": {"version": version, "url": "https://%s/builds/velm-coop" % host,
                     "sha256": "0" * 64, "size": 1},
        "games": [{"id": "demo", "name": "Demo Game", "exe": "demo.exe", "steam_appid": 480,
                   "manifest": manifest_url, "launcher": "coop.exe"}]}, indent=2) + "\n"


# ---- the tool against openssl ---------------------------------------------------------------

def test_keygen(ctx):
    key = os.path.join(ctx.work, "keygen", "key.pem")
    os.makedirs(os.path.dirname(key))
    out, _ = run(ctx.tool, "keygen", key)
    public = out.strip()
    check(out == public + "\n" and len(public) == 64 and int(public, 16) >= 0,
          "keygen printed %r" % out)
    check(stat.S_IMODE(os.stat(key).st_mode) == 0o600, "the key is not owner-only")
    check(openssl_public_hex(key) == public, "openssl derives another public key")
    before = read(key)
    _, err = run(ctx.tool, "keygen", key, expect=1)
    check("already exists" in err and read(key) == before, "keygen touched an existing key")
    out, _ = run(ctx.tool, "public-key", key)
    check(out == public + "\n", "public-key printed %r" % out)


def test_manifest_sign_openssl(ctx):
    work = os.path.join(ctx.work, "sign")
    key = os.path.join(work, "key.pem")
    os.makedirs(work)
    public = run(ctx.tool, "keygen", key)[0].strip()
    package = os.path.join(work, "pkg")
    make_package(package)
    run(ctx.tool, "manifest", "--version", "1.2.3", "--launcher", "coop.exe",
        "--optional", "extra data.bin", package)
    manifest_path = os.path.join(package, "manifest.json")
    manifest = json.loads(read(manifest_path))
    check(manifest["version"] == "1.2.3", "version %r" % manifest["version"])
    listed = {entry["name"]: entry for entry in manifest["files"]}
    check(sorted(listed) == ["coop.exe", "extra data.bin", "my mod.dll"], "files %r" % listed)
    for name, entry in listed.items():
        data = read(os.path.join(package, name))
        check(entry["size"] == len(data) and entry["sha256"] == hashlib.sha256(data).hexdigest(),
              "%s: wrong size or digest" % name)
        check(entry.get("required", True) == (name != "extra data.bin"), "%s: required" % name)

    run(ctx.tool, "sign", "--key", key, "--launcher", "coop.exe", manifest_path)
    signature = read(manifest_path + ".sig")
    check(len(signature) == 129 and signature.endswith(b"\n"), "signature %r" % signature)
    public_pem = os.path.join(work, "public.pem")
    subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-out", public_pem], check=True)
    check(openssl_verifies(public_pem, manifest_path, manifest_path + ".sig", work),
          "openssl pkeyutl -verify -rawin refuses the signature")
    run(ctx.tool, "verify", "--launcher-key", public, manifest_path)

    # One changed byte: openssl and the launcher's verifier both refuse it.
    tampered = os.path.join(work, "tampered.json")
    write(tampered, read(manifest_path).replace(b"1.2.3", b"1.2.4"))
    shutil.copy(manifest_path + ".sig", tampered + ".sig")
    check(not openssl_verifies(public_pem, tampered, tampered + ".sig", work),
          "openssl accepts a tampered document")
    _, err = run(ctx.tool, "verify", "--launcher-key", public, tampered, expect=1)
    check(err == "velm-publish: %s: the signature does not match\n" % tampered, err)

    # Signing again after the package changed: the manifest is rewritten, its old signature and
    # the manifest itself are not taken for package files.
    run(ctx.tool, "manifest", "--version", "1.2.4", "--launcher", "coop.exe", package)
    check(len(json.loads(read(manifest_path))["files"]) == 3, "manifest.json listed itself")


def test_refusals(ctx):
    work = os.path.join(ctx.work, "refusals")
    key = os.path.join(work, "key.pem")
    os.makedirs(work)
    public = run(ctx.tool, "keygen", key)[0].strip()

    bad = os.path.join(work, "games.json")
    write(bad, catalogue("cdn.test", "http://cdn.test/manifest.json"))
    _, err = run(ctx.tool, "sign", "--key", key, bad, expect=1)
    check(err == "velm-publish: %s: the launcher would refuse this catalogue: "
                 "games[0].manifest: \"http://cdn.test/manifest.json\" is not an absolute "
                 "https:// URL\n" % bad, err)
    check(not os.path.exists(bad + ".sig"), "a refused catalogue was signed")

    package = os.path.join(work, "pkg")
    make_package(package)
    write(os.path.join(package, "nul.txt"), b"x")
    _, err = run(ctx.tool, "manifest", "--version", "1", "--launcher", "coop.exe", package,
                 expect=1)
    check(err == "velm-publish: the launcher would refuse this manifest: rejected file name "
                 "\"nul.txt\": it is a Windows reserved device name\n", err)
    check(not os.path.exists(os.path.join(package, "manifest.json")), "a manifest was written")
    os.remove(os.path.join(package, "nul.txt"))
    os.remove(os.path.join(package, "coop.exe"))
    _, err = run(ctx.tool, "manifest", "--version", "1", "--launcher", "coop.exe", package,
                 expect=1)
    check("has no coop.exe (the co-op launcher)" in err, err)

    # An encrypted key is refused at once; nothing waits for a passphrase.
    encrypted = os.path.join(work, "encrypted.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-aes-256-cbc", "-pass",
                    "pass:secret", "-out", encrypted], check=True)
    os.chmod(encrypted, 0o600)  # whatever this openssl made it: the key's content is the case
    _, err = run(ctx.tool, "public-key", encrypted, expect=1)
    check(err == "velm-publish: %s: not an unencrypted PEM private key\n" % encrypted, err)

    # A key that other accounts can read is refused, as ssh refuses one.
    os.chmod(key, 0o644)
    _, err = run(ctx.tool, "public-key", key, expect=1)
    check(err == "velm-publish: %s: this private key is open to other accounts (mode 0644); "
                 "run chmod 600 %s to keep it yours alone\n" % (key, key), err)
    os.chmod(key, 0o600)

    # publish: a key the launcher does not trust, and a package without its co-op launcher.
    make_package(package)
    run(ctx.tool, "manifest", "--version", "1", "--launcher", "coop.exe", package)
    good = os.path.join(work, "good.json")
    write(good, catalogue("cdn.test", "https://cdn.test/demo/manifest.json"))
    common = ["publish", "--catalogue", good, "--host", "cdn.test", "--key", key,
              "--package", "demo=" + package, "-o", os.path.join(work, "site")]
    _, err = run(ctx.tool, *common, "--launcher-key", "ab" * 32, expect=1)
    check("is not one of the launcher's keys" in err, err)
    os.remove(os.path.join(package, "coop.exe"))
    _, err = run(ctx.tool, *common, "--launcher-key", public, expect=1)
    check("game demo: its co-op launcher" in err, err)
    check(not os.path.exists(os.path.join(work, "site")), "a refused publish wrote a tree")


def utc_text(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def test_freshness_fields(ctx):
    work = os.path.join(ctx.work, "fields")
    key = os.path.join(work, "key.pem")
    os.makedirs(work)
    public = run(ctx.tool, "keygen", key)[0].strip()
    package = os.path.join(work, "pkg")
    make_package(package)
    run(ctx.tool, "manifest", "--version", "1", "--launcher", "coop.exe", package)
    source = os.path.join(work, "games.json")
    write(source, catalogue("cdn.test", "https://cdn.test/demo/manifest.json"))
    common = ["publish", "--catalogue", source, "--host", "cdn.test", "--key", key,
              "--launcher-key", public, "--package", "demo=" + package]

    # By default the serial is the time of publication; --expires-in counts days from then.
    first = os.path.join(work, "first")
    before = int(time.time())
    out, _ = run(ctx.tool, *common, "--expires-in", "30", "-o", first)
    after = int(time.time())
    lines = out.splitlines()
    check(len(lines) == 3 and lines[0] == "wrote " + first, "publish printed %r" % out)
    serial = int(lines[1][len("serial: "):])
    check(lines[1].startswith("serial: ") and before <= serial <= after,
          "serial %r is not the time of publication (%d to %d)" % (lines[1], before, after))
    expires = lines[2][len("expires: "):]
    check(expires in [utc_text(t + 30 * 86400) for t in range(before, after + 1)],
          "expires %r is not 30 days after publication" % lines[2])
    served_catalogue = json.loads(read(os.path.join(first, "cdn.test", "games.json")))
    manifest_bytes = read(os.path.join(first, "cdn.test", "demo", "manifest.json"))
    check(served_catalogue["serial"] == serial and served_catalogue["expires"] == expires,
          "games.json holds %r" % served_catalogue)
    check(json.loads(manifest_bytes)["serial"] == serial, "the manifest has another serial")
    check(served_catalogue["games"][0]["manifest_sha256"] ==
          hashlib.sha256(manifest_bytes).hexdigest(),
          "manifest_sha256 is not the digest of the published manifest")

    # The next publication may not go below the first, in the catalogue or in a manifest.
    second = os.path.join(work, "second")
    _, err = run(ctx.tool, *common, "--previous", first, "--serial", str(serial - 1), "-o",
                 second, expect=1)
    check(err == "velm-publish: --previous: every launcher that saw %s would refuse this tree "
                 "(games.json serial %d is older than %d); give --serial %d or higher\n"
          % (os.path.join(first, "cdn.test", "games.json"), serial - 1, serial, serial), err)
    check(not os.path.exists(second), "a refused publish wrote a tree")
    out, _ = run(ctx.tool, *common, "--previous", first, "--serial", str(serial), "-o", second)
    check(out == "wrote %s\nserial: %d\n" % (second, serial), "publish printed %r" % out)


# ---- the launcher of this build against a published tree ------------------------------------

def start_launcher(game, work):
    """Runs the launcher in game with nothing inherited that would change its road; returns the
    completed process and its output as text for messages."""
    environment = {k: v for k, v in os.environ.items()
                   if k.upper() not in ("VELM_COOP_OFFLINE", "VELM_COOP_UPDATED")}
    completed = subprocess.run([os.path.join(game, "velm-coop"), "--flag", "two words"],
                               cwd=work, env=environment, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    output = "--- stdout\n%s--- stderr\n%s" % (completed.stdout.decode(),
                                               completed.stderr.decode())
    return completed, output


def recorder(record):
    """A co-op launcher that writes its arguments to record."""
    return ("#!/bin/sh\nprintf '%%s\\n' \"$@\" > '%s.tmp' && mv '%s.tmp' '%s'\n"
            % (record, record, record)).encode()


def test_launcher_accepts_published_tree(ctx):
    work = os.path.join(ctx.work, "launcher")
    game = os.path.join(work, "game")
    record = os.path.join(work, "record.txt")
    package = os.path.join(work, "pkg")
    make_package(package, recorder(record))
    run(ctx.tool, "manifest", "--version", "3", "--launcher", "coop.exe", "--optional",
        "extra data.bin", package)
    manifest_url = "https://%s/packages/demo/manifest.json?v=3" % ctx.host
    write(os.path.join(work, "games.json"), catalogue(ctx.host, manifest_url))
    # This build's own launcher: a test build, which only --allow-test-build lets through.
    build = ctx.launcher

    site = os.path.join(work, "site")
    keys = [arg for key in ctx.launcher_keys for arg in ("--launcher-key", key)]
    run(ctx.tool, "publish", "--catalogue", os.path.join(work, "games.json"), "--host",
        ctx.host, "--key", ctx.key, *keys, "--package", "demo=" + package, "--launcher-build",
        build, "--allow-test-build", "-o", site)
    root = os.path.join(site, ctx.host.lower())
    check(os.path.isfile(os.path.join(root, "packages", "demo", "my mod.dll")),
          "my mod.dll is not beside its manifest")
    # Every signature in the tree is one that OpenSSL itself accepts for the key.
    public_pem = os.path.join(work, "public.pem")
    subprocess.run(["openssl", "pkey", "-in", ctx.key, "-pubout", "-out", public_pem], check=True)
    signatures = [os.path.join(parent, name) for parent, _, names in os.walk(site)
                  for name in names if name.endswith(".sig")]
    check(len(signatures) == 2, "the tree holds the catalogue's and the manifest's signature: %r"
          % signatures)
    for signature in signatures:
        check(openssl_verifies(public_pem, signature[:-4], signature, work),
              "openssl pkeyutl -verify -rawin refuses " + signature)

    os.makedirs(game)
    shutil.copy(ctx.launcher, os.path.join(game, "velm-coop"))
    write(os.path.join(game, "demo.exe"), b"the game")
    server = Server(work, int(ctx.host.rsplit(":", 1)[1]), site=root, certs=ctx.certs)
    server.start()
    try:
        completed, output = start_launcher(game, work)
        check(completed.returncode == 0, "the launcher exited %d\n%s"
              % (completed.returncode, output))
        check(wait_for_file(record, timeout=10), "the co-op launcher was not started\n" + output)
        started = read(record).decode().split("\n")
        check("--flag" in started and "two words" in started, "started with %r" % started)
        installed = os.path.join(game, "Velm Co-op")
        for name in ("coop.exe", "my mod.dll", "extra data.bin"):
            check(read(os.path.join(installed, name)) == read(os.path.join(package, name)),
                  "%s was not installed as published" % name)
        check(read(os.path.join(installed, "games.json")) == read(os.path.join(root, "games.json")),
              "the launcher did not keep the published catalogue")
        # The launcher build is served at the URL its block names, with the digest it records.
        context = ssl.create_default_context(cafile=os.path.join(ctx.certs, "ca.pem"))
        served = urllib.request.urlopen("https://%s/builds/velm-coop" % ctx.host,
                                        context=context, timeout=30).read()
        check(served == read(build), "the launcher build is not served at its URL")
        block = json.loads(read(os.path.join(root, "games.json")))["launcher"]
        check(block["sha256"] == hashlib.sha256(served).hexdigest() and block["size"] == len(served),
              "the launcher block does not describe the build")
    finally:
        server.stop()


def test_launcher_test_builds_refused(ctx):
    """The launchers this build made (natively, and the Windows one beside it when given) carry
    the test build's marker: publish refuses to announce them, and writes nothing. Let through as
    test builds, they are still refused for a host or a key they were not built for, which
    publish reads from the ELF or PE section that each build carries."""
    work = os.path.join(ctx.work, "refused")
    package = os.path.join(work, "pkg")
    make_package(package)
    run(ctx.tool, "manifest", "--version", "3", "--launcher", "coop.exe", package)
    write(os.path.join(work, "games.json"),
          catalogue(ctx.host, "https://%s/packages/demo/manifest.json" % ctx.host))
    keys = [arg for key in ctx.launcher_keys for arg in ("--launcher-key", key)]
    other_key = os.path.join(work, "other.pem")
    other_public = run(ctx.tool, "keygen", other_key)[0].strip()
    builds = [ctx.launcher] + ([ctx.windows_launcher] if ctx.windows_launcher else [])
    for build in builds:
        site = os.path.join(work, "site")
        _, err = run(ctx.tool, "publish", "--catalogue", os.path.join(work, "games.json"),
                     "--host", ctx.host, "--key", ctx.key, *keys, "--package", "demo=" + package,
                     "--launcher-build", build, "-o", site, expect=1)
        check(err == "velm-publish: %s is a test build (built without VELM_RELEASE); only a "
              "release build may be published\n" % build, "the refusal of %s: %r" % (build, err))
        check(not os.path.exists(site), "publish wrote %s although it refused" % site)
        _, err = run(ctx.tool, "publish", "--catalogue", os.path.join(work, "games.json"),
                     "--host", "elsewhere.test", "--key", ctx.key, *keys, "--package",
                     "demo=" + package, "--launcher-build", build, "--allow-test-build", "-o",
                     site, expect=1)
        check(err == "velm-publish: %s fetches its catalogue from %s, not elsewhere.test: players "
              "who update to it would never read this catalogue again\n" % (build, ctx.host),
              "the refusal of %s for another host: %r" % (build, err))
        _, err = run(ctx.tool, "publish", "--catalogue", os.path.join(work, "games.json"),
                     "--host", ctx.host, "--key", other_key, "--launcher-key", other_public,
                     "--package", "demo=" + package, "--launcher-build", build,
                     "--allow-test-build", "-o", site, expect=1)
        check(err == "velm-publish: %s does not trust %s (public key %s): players who update to "
              "it would refuse every catalogue it signs\n" % (build, other_key, other_public),
              "the refusal of %s for another key: %r" % (build, err))
        check(not os.path.exists(site), "publish wrote %s although it refused" % site)


def test_launcher_second_tree_over_first(ctx):
    """A team publishes twice; players follow the second tree, and a host that serves the first
    one again (all of it, or its manifest beside the second catalogue) changes nothing."""
    work = os.path.join(ctx.work, "twice")
    game = os.path.join(work, "game")
    installed = os.path.join(game, "Velm Co-op")
    record = os.path.join(work, "record.txt")
    served = os.path.join(work, "served")
    manifest_url = "https://%s/packages/demo/manifest.json" % ctx.host
    write(os.path.join(work, "games.json"), catalogue(ctx.host, manifest_url))
    keys = [arg for key in ctx.launcher_keys for arg in ("--launcher-key", key)]
    host = ctx.host.lower()

    def publish(version, mod, out, *extra):
        package = os.path.join(work, "pkg-" + version)
        make_package(package, recorder(record))
        write(os.path.join(package, "my mod.dll"), mod)
        run(ctx.tool, "manifest", "--version", version, "--launcher", "coop.exe", package)
        run(ctx.tool, "publish", "--catalogue", os.path.join(work, "games.json"), "--host",
            ctx.host, "--key", ctx.key, *keys, "--package", "demo=" + package, *extra, "-o", out)
        return os.path.join(out, host)

    def serve(*layers):
        """Serves the files of each tree root in turn, a later one over an earlier one."""
        shutil.rmtree(served, ignore_errors=True)
        os.makedirs(served)
        for layer in layers:
            shutil.copytree(layer, served, dirs_exist_ok=True)

    def launch(expected_line=None):
        if os.path.exists(record):
            os.remove(record)
        completed, output = start_launcher(game, work)
        check(completed.returncode == 0, "the launcher exited %d\n%s"
              % (completed.returncode, output))
        check(wait_for_file(record, timeout=10), "the co-op launcher was not started\n" + output)
        if expected_line is not None:
            lines = (completed.stdout + completed.stderr).decode().splitlines()
            check(expected_line in lines, "no line %r\n%s" % (expected_line, output))
        return output

    # Large enough for a chunk index: the second tree costs a player only its changed chunks.
    first_mod = random.Random(7).randbytes(5 * 1048576)
    second_mod = first_mod[:2 * 1048576] + b"second mod" + first_mod[2 * 1048576 + 10:]
    first = publish("1.0.0", first_mod, os.path.join(work, "first"), "--serial", "1000")
    os.makedirs(game)
    shutil.copy(ctx.launcher, os.path.join(game, "velm-coop"))
    write(os.path.join(game, "demo.exe"), b"the game")
    server = Server(work, int(ctx.host.rsplit(":", 1)[1]), site=served, certs=ctx.certs)
    serve(first)
    server.start()
    try:
        launch()
        check(read(os.path.join(installed, "my mod.dll")) == first_mod,
              "the first tree was not installed")
        # Published later without --serial: the time of publication is above 1000.
        second = publish("2.0.0", second_mod, os.path.join(work, "second"),
                         "--previous", os.path.join(work, "first"))
        serial = json.loads(read(os.path.join(second, "games.json")))["serial"]
        manifest = json.loads(read(os.path.join(second, "packages", "demo", "manifest.json")))
        indexed = {entry["name"]: entry.get("chunks") for entry in manifest["files"]}
        index = read(os.path.join(second, "packages", "demo", "my mod.dll.chunks"))
        check(indexed["my mod.dll"] == {"name": "my mod.dll.chunks", "size": len(index),
                                        "sha256": hashlib.sha256(index).hexdigest()}
              and indexed["coop.exe"] is None, "the chunk indexes as published: %r" % indexed)
        serve(second)
        output = launch()
        check(read(os.path.join(installed, "my mod.dll")) == second_mod,
              "the second tree was not installed over the first\n" + output)
        fetched = [line for line in output.splitlines() if "downloading my mod.dll" in line]
        check(len(fetched) == 1 and fetched[0].endswith(" KB)"),
              "the changed chunks of my mod.dll were not all it fetched\n" + output)
        for name in ("games.json", os.path.join("packages", "demo", "manifest.json")):
            check(read(os.path.join(installed, os.path.basename(name))) ==
                  read(os.path.join(second, name)), "the launcher did not keep the second " + name)
        kept = files_below(game)

        outdated = "%s sent an outdated file (%%s) -- starting the installed version." % ctx.host
        replays = [
            ("the first tree", [first],
             "games.json serial 1000 is older than %d" % serial),
            ("the first manifest and its files beside the second catalogue",
             [first, os.path.join(work, "second-catalogue")],
             "manifest.json of Demo Game does not match games.json"),
        ]
        os.makedirs(os.path.join(work, "second-catalogue"))
        for name in ("games.json", "games.json.sig"):
            shutil.copy(os.path.join(second, name), os.path.join(work, "second-catalogue", name))
        for what, layers, detail in replays:
            serve(*layers)
            output = launch(outdated % detail)
            check(files_below(game) == kept, "%s changed the game folder\n%s" % (what, output))
    finally:
        server.stop()


class Context:
    pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--launcher")
    parser.add_argument("--key")
    parser.add_argument("--host")
    parser.add_argument("--launcher-keys", default="")
    parser.add_argument("--windows-launcher", help="a Windows test build with the same settings")
    args = parser.parse_args()

    ctx = Context()
    ctx.tool = os.path.abspath(args.tool)
    ctx.work = os.path.abspath(args.work)
    ctx.certs = os.path.join(ctx.work, "certs")
    if args.launcher and os.environ.get("VELM_PUBLISH_INSIDE") != "1":
        shutil.rmtree(ctx.work, ignore_errors=True)
        os.makedirs(ctx.work)
        subprocess.run([os.path.join(HTTPS, "make_certs.sh"), ctx.certs], check=True,
                       stdout=subprocess.DEVNULL)
        os.environ["VELM_PUBLISH_INSIDE"] = "1"
        command = [os.path.join(HTTPS, "run_with_ca.sh"), os.path.join(ctx.certs, "ca.pem"),
                   sys.executable] + sys.argv
        os.execv(command[0], command)

    if args.launcher:
        ctx.launcher = os.path.abspath(args.launcher)
        ctx.key = os.path.abspath(args.key)
        ctx.host = args.host
        ctx.launcher_keys = [key for key in args.launcher_keys.split(",") if key]
        ctx.windows_launcher = args.windows_launcher and os.path.abspath(args.windows_launcher)
        if ctx.windows_launcher:
            check(os.path.isfile(ctx.windows_launcher), "no Windows build at " + ctx.windows_launcher)
        tests = [test_launcher_accepts_published_tree, test_launcher_test_builds_refused,
                 test_launcher_second_tree_over_first]
    else:
        shutil.rmtree(ctx.work, ignore_errors=True)
        os.makedirs(ctx.work)
        tests = [test_keygen, test_manifest_sign_openssl, test_refusals, test_freshness_fields]

    passed = failed = 0
    for test in tests:
        try:
            test(ctx)
            passed += 1
            print("PASS %s" % test.__name__, flush=True)
        except Exception as problem:  # a broken test counts as a failure, with its trace
            failed += 1
            detail = str(problem) if isinstance(problem, Failure) else traceback.format_exc()
            print("FAIL %s\n%s" % (test.__name__, detail), flush=True)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
