#!/usr/bin/env python3
"""End-to-end scenarios: the built launcher in a temporary game folder against a local HTTPS
server that serves a signed catalogue, manifest and package, with faults on demand.

  e2e.py --launcher PATH --recorder PATH --key PEM --host localhost:PORT --work DIR [--wine]
         [-k SUBSTRING ...] [--new-build PATH --new-version X.Y.Z]

The launcher must have been built with VELM_CATALOGUE_HOST=HOST and the public half of PEM in
VELM_TRUSTED_KEYS. The script re-runs itself inside tests/https/run_with_ca.sh, so the
launcher trusts the test server's CA and nothing outside the run does. The co-op launcher of
the package is the recorder program, which writes what it was started with to recorder.json.
Ends with the line "N passed, N failed".
"""

import argparse
import os
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (Failure, Platform, Server, Signer, launcher_arguments,  # noqa: E402
                     rerun_trusting_the_test_ca)
import attacks  # noqa: E402
import delta  # noqa: E402
import downloads  # noqa: E402
import faults  # noqa: E402
import followed_links  # noqa: E402
import freshness  # noqa: E402
import held_files  # noqa: E402
import machine_safety  # noqa: E402
import network_path  # noqa: E402
import planted_dll  # noqa: E402
import scenarios  # noqa: E402
import signed_build  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    launcher_arguments(parser)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--new-build", help="a build of a higher version, for the self-update")
    parser.add_argument("--new-version")
    parser.add_argument("-k", action="append", default=[], help="run scenarios whose name has this")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    rerun_trusting_the_test_ca(work, "VELM_E2E_INSIDE")

    if args.wine:
        # Wine's first program starts its background services, which keep whatever standard
        # handles that program had: start them here with none, not with a scenario's pipes.
        subprocess.run(["wineboot"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
    port = int(args.host.rsplit(":", 1)[1])
    server = Server(work, port)
    server.reset()
    server.start()
    platform = Platform(os.path.abspath(args.launcher), os.path.abspath(args.recorder), args.wine)
    context = scenarios.Context(platform, server, Signer(args.key), args.host, work,
                                args.new_build and os.path.abspath(args.new_build),
                                args.new_version)
    everything = (scenarios.ALL + faults.ALL + attacks.ALL + machine_safety.ALL + network_path.ALL +
                  planted_dll.ALL + followed_links.ALL + freshness.ALL + held_files.ALL +
                  downloads.ALL + delta.ALL + signed_build.ALL)
    chosen = [s for s in everything if not args.k or any(k in s.__name__ for k in args.k)]
    passed = failed = 0
    kind = "wine" if args.wine else "native"
    try:
        for scenario in chosen:
            name = "%s[%s]" % (scenario.__name__, kind)
            began = time.monotonic()
            try:
                context.begin(scenario.__name__)
                skipped = scenario(context)
                if skipped == "skip":
                    print("SKIP %s" % name, flush=True)
                    continue
                passed += 1
                # How long it took: where the test command's time goes.
                print("PASS %s (%.1f s)" % (name, time.monotonic() - began), flush=True)
            except Failure as failure:
                failed += 1
                print("FAIL %s\n%s" % (name, failure), flush=True)
            except Exception:  # a broken scenario counts as a failure, with its trace
                failed += 1
                print("FAIL %s\n%s" % (name, traceback.format_exc()), flush=True)
    finally:
        server.stop()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
