"""End-to-end scenarios of an Authenticode-signed "Velm Co-op.exe" (under Wine; natively they
skip, as there is nothing to sign).

A release exe is signed after it is built (scripts/sign-exe.sh, osslsigncode), which changes its
bytes. A throwaway self-signed certificate, made by openssl for the run and kept nowhere else,
signs copies of this build's exe and of its newer build through that script. osslsigncode must
find and verify the signature, and the signed exe must do what the unsigned one does: start the
game, update itself to the signed newer build (announced with the signed bytes' SHA-256 and
size) and run no DLL planted beside it.
"""

import os
import re
import subprocess
import sys

from harness import check, check_equal
import planted_dll
import scenarios

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGN = os.path.join(ROOT, "scripts", "sign-exe.sh")
PASSWORD = "throwaway password"

sys.path.insert(0, os.path.join(ROOT, "tests", "exe"))
from pe_check import CHECKS  # noqa: E402
from pe_file import PeFile  # noqa: E402


def quiet(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120, **options)


def certificate(c):
    """(certificate PEM, PKCS#12 file with key and certificate under PASSWORD), made once per
    run in the run's work folder."""
    folder = os.path.join(c.work, "signing")
    cert = os.path.join(folder, "cert.pem")
    pfx = os.path.join(folder, "signer.pfx")
    if not os.path.exists(pfx):
        os.makedirs(folder, exist_ok=True)
        key = os.path.join(folder, "key.pem")
        made = quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                      "-subj", "/CN=Velm Co-op throwaway test signer", "-keyout", key,
                      "-out", cert])
        check(made.returncode == 0, "openssl req: %s" % made.stdout.decode(errors="replace"))
        made = quiet(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                      "-passout", "pass:" + PASSWORD])
        check(made.returncode == 0, "openssl pkcs12: %s" % made.stdout.decode(errors="replace"))
    return cert, pfx


def signed(c, exe):
    """A copy of exe signed by sign-exe.sh with the throwaway certificate, the password passed
    as a release passes it."""
    _, pfx = certificate(c)
    out = os.path.join(c.work, "signing", "signed-" + os.path.basename(exe))
    if not os.path.exists(out):
        environment = dict(os.environ, VELM_SIGN_PASSWORD=PASSWORD)
        result = quiet([SIGN, exe, out, "--sign", pfx], env=environment)
        check(result.returncode == 0, "sign-exe.sh: %s" % result.stdout.decode(errors="replace"))
    return out


def verify(c, exe):
    """(osslsigncode verify's exit code, its output) against the throwaway certificate."""
    cert, _ = certificate(c)
    result = quiet(["osslsigncode", "verify", "-CAfile", cert, "-in", exe])
    return result.returncode, result.stdout.decode(errors="replace")


def with_signed_builds(c, scenario):
    """Runs scenario in a fresh game folder with the signed exe as this build's launcher and
    the signed newer build as the one a self-update fetches."""
    launcher, new_build = c.platform.launcher, c.new_build
    c.platform.launcher = signed(c, launcher)
    if new_build:
        c.new_build = signed(c, new_build)
    try:
        c.begin(scenario.__name__ + "-signed")
        return scenario(c)
    finally:
        c.platform.launcher, c.new_build = launcher, new_build


def signed_exe_verifies_and_starts_the_game(c):
    if not c.platform.wine:
        return "skip"
    exe = signed(c, c.platform.launcher)
    with open(exe, "rb") as file:
        signed_bytes = file.read()
    with open(c.platform.launcher, "rb") as file:
        check(signed_bytes != file.read(), "signing left the exe as it was")
    code, output = verify(c, exe)
    check(code == 0 and "Signature verification: ok" in output,
          "osslsigncode verify refuses the signed exe (exit %d):\n%s" % (code, output))
    check(re.search(r"^Message digest algorithm +: SHA256$", output, re.M) is not None,
          "the signature's digest is not SHA-256:\n%s" % output)
    code, output = verify(c, c.platform.launcher)
    check(code != 0, "osslsigncode verify passes the unsigned exe too:\n%s" % output)
    pe = PeFile(exe)
    check_equal([problem for pe_check in CHECKS for problem in pe_check(pe)], [],
                "the signed exe's load flags and imports (tests/exe/pe_check.py)")
    return with_signed_builds(c, scenarios.first_run_installs_the_package_and_starts_the_game)


def signed_exe_updates_itself_to_a_signed_build(c):
    if not c.platform.wine:
        return "skip"
    return with_signed_builds(c, scenarios.self_update_replaces_the_launcher)


def signed_exe_runs_no_planted_dll(c):
    if not c.platform.wine:
        return "skip"
    return with_signed_builds(c, planted_dll.planted_dlls_never_run_in_the_launcher)


ALL = [signed_exe_verifies_and_starts_the_game, signed_exe_updates_itself_to_a_signed_build,
       signed_exe_runs_no_planted_dll]
