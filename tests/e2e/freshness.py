"""End-to-end scenarios of a server that answers with genuine signed documents that are stale or
belong elsewhere: a replayed or frozen catalogue, a replayed manifest with its older files, and
another game's manifest. Each is refused with its reason and leaves the game folder, the saved
copies included, as it was; documents that carry the fields and pass print exactly what documents
without them print.
"""

import json
import os
import shutil
import time

from attacks import expect_game_folder, expect_installed_start, game_folder, package_requests
from harness import check_equal, sha256
from scenarios import GAME, announce_new_build

# Past 32 bits, and one below the largest serial: a reader that truncates or rounds shows it.
CATALOGUE_SERIAL = 2**32 + 1
MANIFEST_SERIAL = 2**53 - 2
HOUR = 3600
DAY = 24 * HOUR


# --- documents -------------------------------------------------------------------------------


def utc_text(offset):
    """The UTC time offset seconds from now, as "expires" is written."""
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + offset))


def outdated(c, detail):
    return c.host + " sent an outdated file (" + detail + ")"


def dumped(document):
    return (json.dumps(document, indent=2) + "\n").encode()


def manifest_doc(c, serial, files=None):
    """Context.manifest_bytes with a top-level "serial" (none for None)."""
    document = json.loads(c.manifest_bytes(files))
    if serial is not None:
        document["serial"] = serial
    return dumped(document)


def catalogue_doc(c, serial, expires, manifests):
    """Context.catalogue_bytes with "serial" and "expires" (each left out for None), and the
    digest of manifests[id] as "manifest_sha256" of each game named there."""
    document = json.loads(c.catalogue_bytes())
    for field, value in (("serial", serial), ("expires", expires)):
        if value is not None:
            document[field] = value
    for game in document["games"]:
        if game["id"] in manifests:
            game["manifest_sha256"] = sha256(manifests[game["id"]])
    return dumped(document)


def serve(c, catalogue, manifests, files=None):
    """Signs and serves the catalogue and manifests[id] at each game's manifest URL, and the
    files (c.files by default) below game one's."""
    c.catalogue = catalogue
    c.put_signed("/games.json", catalogue)
    for game_id, manifest in manifests.items():
        c.put_signed("/%s/manifest.json" % game_id, manifest)
    for name, content in (c.files if files is None else files).items():
        c.server.put("/one/" + name, content)


def install_with_fields(c, others=None):
    """Installs game one from documents with every field (catalogue serial CATALOGUE_SERIAL,
    expiring tomorrow; manifest serial MANIFEST_SERIAL; the digests of game one's manifest and of
    others[id]); returns the game folder as installed."""
    c.add_game_exe()
    manifests = dict(others or {}, one=manifest_doc(c, MANIFEST_SERIAL))
    serve(c, catalogue_doc(c, CATALOGUE_SERIAL, utc_text(DAY), manifests), manifests)
    result = c.run()
    check_equal(result.code, 0, "the installing run\n%r" % result)
    c.recorded()
    os.remove(c.recorder_path())
    return game_folder(c)


def expect_update_installs(c, catalogue_serial, manifest_serial, what):
    """A newer data.txt in documents with these serials is fetched, and both documents are saved:
    a refusal left nothing behind that blocks the next good run."""
    c.files["data.txt"] = ("co-op data after %s\n" % what).encode()
    manifest = manifest_doc(c, manifest_serial)
    catalogue = catalogue_doc(c, catalogue_serial, utc_text(DAY), {"one": manifest})
    serve(c, catalogue, {"one": manifest})
    result = c.run()
    check_equal(result.code, 0, "%s: exit code\n%r" % (what, result))
    check_equal(result.err_lines(), [], "%s: standard error" % what)
    check_equal(result.out_lines(), [c.banner()] + c.download_lines(["data.txt"]) +
                [c.starting_line()], "%s: standard output" % what)
    c.recorded()
    installed = c.package_files()
    for name, expected in (("games.json", catalogue), ("manifest.json", manifest),
                           ("data.txt", c.files["data.txt"])):
        check_equal(installed.get(name), expected, "%s: the saved %s" % (what, name))


# --- scenarios -------------------------------------------------------------------------------


def stale_catalogues_are_refused(c):
    """Genuine signed catalogues that are older than the saved one, drop its serial, or have
    expired: refused before the self-update and the manifest are fetched, the installed version
    starts (an expired one on a first run: nothing installed), nothing changes; then documents
    at the saved serials install an update."""
    past = utc_text(-HOUR)
    manifest = manifest_doc(c, MANIFEST_SERIAL)
    c.add_game_exe()
    empty = game_folder(c)
    serve(c, catalogue_doc(c, CATALOGUE_SERIAL, past, {"one": manifest}), {"one": manifest})
    c.expect_fatal(c.run(), [c.not_installed(outdated(c, "games.json expired on " + past))])
    expect_game_folder(c, empty, "expired on a first run")

    installed = install_with_fields(c)
    block = c.launcher_block
    if c.new_build:
        # Stale catalogues that announce a newer build: a launcher that updated itself before
        # the rules would change its own file.
        with open(c.new_build, "rb") as file:
            announce_new_build(c, file.read())
    cases = [
        ("an older serial", CATALOGUE_SERIAL - 1, utc_text(DAY),
         "games.json serial %d is older than %d" % (CATALOGUE_SERIAL - 1, CATALOGUE_SERIAL)),
        ("no serial", None, None,
         "games.json serial is missing; the saved copy has %d" % CATALOGUE_SERIAL),
        ("expired an hour ago", CATALOGUE_SERIAL + 1, past, "games.json expired on " + past),
    ]
    for what, serial, expires, detail in cases:
        since = len(c.server.requests())
        serve(c, catalogue_doc(c, serial, expires, {"one": manifest}), {"one": manifest})
        expect_installed_start(c, c.run(), outdated(c, detail), what)
        expect_game_folder(c, installed, what)
        check_equal(c.server.requests()[since:], ["/games.json", "/games.json.sig"],
                    "%s: requests" % what)
    c.launcher_block = block
    expect_update_installs(c, CATALOGUE_SERIAL, MANIFEST_SERIAL, "stale catalogues")


def stale_manifests_are_refused(c):
    """Over version 1.0.1, the genuine manifest of 1.0.0 with its files, and the same without a
    serial, each in a newer catalogue that names no digest: refused like a manifest with a bad
    signature (no file fetched, not even the catalogue saved), the installed version starts;
    then a newer manifest with the largest serial installs."""
    old_files = dict(c.files)
    old_manifests = [(serial, manifest_doc(c, serial)) for serial in (MANIFEST_SERIAL - 1, None)]
    c.files["data.txt"] = b"co-op data, version 2\n"
    c.manifest_version = "1.0.1"
    installed = install_with_fields(c)
    since = len(c.server.requests())
    for number, (serial, manifest) in enumerate(old_manifests, 1):
        if serial is None:
            what = "1.0.0 without a serial"
            detail = "manifest.json serial is missing; the saved copy has %d" % MANIFEST_SERIAL
        else:
            what = "1.0.0 with an older serial"
            detail = "manifest.json serial %d is older than %d" % (serial, MANIFEST_SERIAL)
        serve(c, catalogue_doc(c, CATALOGUE_SERIAL + number, utc_text(DAY), {}),
              {"one": manifest}, old_files)
        expect_installed_start(c, c.run(), outdated(c, detail), what)
        expect_game_folder(c, installed, what)
    check_equal(package_requests(c, since), [], "package files fetched for a refused manifest")
    expect_update_installs(c, CATALOGUE_SERIAL + 3, MANIFEST_SERIAL + 1, "stale manifests")


def another_games_manifest_is_refused(c):
    """Game two's genuine manifest, with a higher serial and the same co-op launcher, served at
    game one's manifest URL while the catalogue holds both digests: refused on a first run
    (nothing installed) and over the installed package (the newer catalogue not saved)."""
    c.games = [dict(GAME), dict(GAME, id="two", exe="Other.exe", name="Game Two")]
    two_files = {"coop.exe": c.recorder, "two.dat": b"game two data\n"}
    two = manifest_doc(c, MANIFEST_SERIAL + 1, two_files)
    one = manifest_doc(c, MANIFEST_SERIAL)
    reason = outdated(c, "manifest.json of Game One does not match games.json")

    def serve_swapped(catalogue_serial):
        """Serves the swap, game two's files beside it; returns the requests made so far."""
        catalogue = catalogue_doc(c, catalogue_serial, utc_text(DAY), {"one": one, "two": two})
        serve(c, catalogue, {"one": two, "two": two}, dict(c.files, **two_files))
        return len(c.server.requests())

    c.add_game_exe()
    empty = game_folder(c)
    since = serve_swapped(CATALOGUE_SERIAL)
    c.expect_fatal(c.run(), [c.not_installed(reason)])
    expect_game_folder(c, empty, "a first run")
    check_equal(package_requests(c, since), [], "a first run: package files fetched")

    installed = install_with_fields(c, {"two": two})
    since = serve_swapped(CATALOGUE_SERIAL + 1)
    expect_installed_start(c, c.run(), reason, "over the installed package")
    expect_game_folder(c, installed, "over the installed package")
    check_equal(package_requests(c, since), [], "over the installed package: package files fetched")


def fields_change_nothing_in_ordinary_runs(c):
    """The same runs from documents without the fields and from documents with them (expiring
    tomorrow, the serials kept equal through an update): the same exit codes, lines and started
    command line, and every document saved as served."""
    runs = {}
    # One expiry for every document: the offline run's expected copy is the one served before it.
    tomorrow = utc_text(DAY)
    for variant in ("without", "with"):
        shutil.rmtree(c.package_dir, ignore_errors=True)
        c.files["data.txt"] = b"co-op data\n"
        c.manifest_version = "1.0.0"
        c.add_game_exe()
        runs[variant] = []
        for step in ("a first run", "a second run", "an update", "an offline run"):
            if step == "an update":
                c.files["data.txt"] = b"co-op data, version 2\n"
                c.manifest_version = "1.0.1"
            if variant == "without":
                manifest = c.manifest_bytes()
                catalogue = c.catalogue_bytes()
            else:
                manifest = manifest_doc(c, MANIFEST_SERIAL)
                catalogue = catalogue_doc(c, CATALOGUE_SERIAL, tomorrow, {"one": manifest})
            serve(c, catalogue, {"one": manifest})
            result = c.run(env={"VELM_COOP_OFFLINE": "1"} if step == "an offline run" else None)
            what = "%s, %s the fields" % (step, variant)
            check_equal(result.code, 0, "%s: exit code\n%r" % (what, result))
            command_line = c.recorded()["commandLine"]
            os.remove(c.recorder_path())
            runs[variant].append((step, result.out_lines(), result.err_lines(), command_line))
            saved = c.package_files()
            check_equal((saved.get("games.json"), saved.get("manifest.json")),
                        (catalogue, manifest), "%s: the saved documents" % what)
    check_equal(runs["with"], runs["without"], "the runs with the fields")


ALL = [
    stale_catalogues_are_refused,
    stale_manifests_are_refused,
    another_games_manifest_is_refused,
    fields_change_nothing_in_ordinary_runs,
]
