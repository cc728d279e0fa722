"""End-to-end scenarios of updates that fetch only the chunks a player lacks: the ordinary one,
and each way it gives way to a whole download in the same run (an index that fails its digest,
a server without ranges, an index that does not describe the file), a cut range continued, and
a manifest without an index. Every run prints exactly the lines of an ordinary update, whose
size is what is fetched."""

import hashlib
import json
import os
import random

from chunks import cut, index_bytes, missing_bytes
from downloads import expect_ordinary_update, served
from harness import Failure, check, check_equal
from scenarios import size_text

MIB = 1048576
NAME = "big.pak"


def pak(size, seed):
    return random.Random(seed).randbytes(size)


def publish_with_index(c, indexed=None, served_index=None):
    """The package with a chunk index for NAME (made from indexed, the file by default), and
    served_index at its address when given."""
    content = c.files[NAME]
    index = index_bytes(indexed if indexed is not None else content)
    manifest = json.loads(c.manifest_bytes())
    for entry in manifest["files"]:
        if entry["name"] == NAME:
            entry["chunks"] = {"name": NAME + ".chunks", "size": len(index),
                               "sha256": hashlib.sha256(index).hexdigest()}
    c.publish(manifest=(json.dumps(manifest, indent=2) + "\n").encode())
    c.server.put("/one/%s.chunks" % NAME, served_index if served_index is not None else index)


def expect_lines(c, result, size):
    expected = ([c.banner(), "[*] downloading %s (%s)" % (NAME, size_text(size)),
                 "[+] %s updated" % NAME, c.starting_line()])
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(), expected, "standard output")
    c.recorded()
    check(c.package_files().get(NAME) == c.files[NAME], "%s is not the new version" % NAME)
    c.expect_no_temporaries()


def install_old_version(c):
    """Installs the old NAME with its index and makes the new one the package's; returns both:
    the new one has an insert at the front and a rewrite in the middle."""
    old = pak(2 * MIB, 50)
    new = pak(100003, 52) + old[:MIB] + pak(100000, 51) + old[MIB + 100000:]
    c.files[NAME] = old
    c.add_game_exe()
    publish_with_index(c)
    expect_ordinary_update(c, c.run(), ["coop.exe", "data.txt", NAME])
    os.remove(c.recorder_path())
    c.files[NAME] = new
    c.manifest_version = "1.0.1"
    return old, new


def delta_update_fetches_only_missing_chunks(c):
    """An insert at the front and a rewrite in the middle: only their chunks come, as ranges."""
    old, new = install_old_version(c)
    publish_with_index(c)
    c.server.reset_log()
    fetched = missing_bytes(new, old)
    check(fetched < 600000, "the edits cost %d bytes" % fetched)
    expect_lines(c, c.run(), fetched)
    requests = served(c, NAME)
    check(all(status == 206 and asked.startswith("bytes=") and "-" in asked[6:-1]
              for status, asked, _, _ in requests), "not all ranges: %r" % requests)
    check_equal(sum(sent for _, _, sent, _ in requests), fetched, "the bytes sent of " + NAME)
    check_equal(len(served(c, NAME + ".chunks")), 1, "the requests for the index")


def every_fault_of_a_delta_ends_in_the_new_file(c):
    """Each way a delta cannot be trusted or finished: the same lines, the new file in place,
    fetched whole where the delta gave way."""
    old, new = install_old_version(c)
    fetched = missing_bytes(new, old)
    other = old + pak(len(new) - len(old), 53)  # an index of other bytes of the same size
    good = index_bytes(new)
    bad = bytearray(good)
    bad[40] ^= 1
    whole = [(200, None)]
    cases = [
        # what, index made from, index served, faults, size shown, the requests for the file
        ("no index", None, None, {}, len(new), whole),
        ("an index that fails its digest", new, bytes(bad), {}, len(new), whole),
        ("a server without ranges", new, None, {"ignore_range": True}, fetched, None),
        ("a cut range", new, None, {"cut_after": 40000, "cut_times": 1}, fetched, None),
        ("an index of other bytes", other, None, {}, missing_bytes(other, old), whole),
    ]
    for what, indexed, served_index, faults, size, expected in cases:
        try:
            if indexed is None:
                c.publish()
            else:
                publish_with_index(c, indexed, served_index)
            with open(os.path.join(c.package_dir, NAME), "wb") as file:
                file.write(old)
            c.server.set_faults({"/one/" + NAME: faults} if faults else {})
            c.server.reset_log()
            expect_lines(c, c.run(), size)
            requests = [(status, asked) for status, asked, _, _ in served(c, NAME)]
            if expected is not None:
                check_equal(requests[-len(expected):], expected, "the last requests")
            if "ignore_range" in faults:
                # Once, after the ranges; one still in flight then may be logged after it.
                check_equal([r for r in requests if r[1] is None], [(200, None)],
                            "the whole download")
            if "cut_after" in faults:
                check(all(status == 206 for status, _ in requests), "not all ranges")
                starts = {int(asked[6:].split("-")[0]) for _, asked in requests}
                offsets = {offset for offset, _, _ in cut(new)}
                check(len(starts - offsets) == 1, "no range went on from where it was cut: %r"
                      % requests)
            os.remove(c.recorder_path())
        except Failure as failure:
            raise Failure("%s: %s" % (what, failure))


ALL = [
    delta_update_fetches_only_missing_chunks,
    every_fault_of_a_delta_ends_in_the_new_file,
]
