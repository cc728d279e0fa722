"""End-to-end scenarios of downloads on a real network: several files in flight at once, a cut
transfer continued with a Range request in the same run, a server that ignores ranges, and a
".new" file that an interrupted run left, continued or fetched again when it does not match.
Each run prints exactly the lines of an ordinary one; what the server sent comes from its log.
"""

import os
import random
import time

from faults import expect_failed_update, expect_unchanged, publish_update
from harness import Failure, check, check_equal

MIB = 1048576
# The retries of a cut transfer: the first request and three more.
REQUESTS_OF_A_FAILED_TRANSFER = 4


def pak(size, seed):
    return random.Random(seed).randbytes(size)


def served(c, name):
    """(status, range asked for, body bytes sent, connection) of every request for a package
    file, in order."""
    return [(entry["status"], entry["range"], entry["sent"], entry["connection"])
            for entry in c.server.log() if entry["target"] == "/one/" + name]


def expect_ordinary_update(c, result, names):
    """Exactly the lines of an update without trouble, and the new package in place."""
    check_equal(result.code, 0, "exit code\n%r" % result)
    check_equal(result.err_lines(), [], "standard error")
    check_equal(result.out_lines(), [c.banner()] + c.download_lines(names) + [c.starting_line()],
                "standard output")
    c.recorded()
    for name in names:
        check(c.package_files().get(name) == c.files[name], "%s is not the new version" % name)
    c.expect_no_temporaries()


def cut_transfer_goes_on_from_its_bytes(c):
    """One cut half-way: the next request asks for the rest, and the file arrives once."""
    c.install_package()
    publish_update(c, **{"data.txt": pak(3 * MIB, 1)})
    c.server.reset_log()
    c.server.set_faults({"/one/data.txt": {"cut_after": MIB + 12345, "cut_times": 1}})
    expect_ordinary_update(c, c.run(), ["data.txt"])
    requests = served(c, "data.txt")
    check_equal([(status, asked) for status, asked, _, _ in requests],
                [(200, None), (206, "bytes=%d-" % (MIB + 12345))], "the requests for data.txt")
    check_equal(sum(sent for _, _, sent, _ in requests), 3 * MIB, "the bytes sent in all")


def server_without_ranges_is_read_from_byte_zero(c):
    c.install_package()
    publish_update(c, **{"data.txt": pak(3 * MIB, 2)})
    c.server.reset_log()
    c.server.set_faults({"/one/data.txt": {"cut_after": MIB, "cut_times": 1,
                                           "ignore_range": True}})
    expect_ordinary_update(c, c.run(), ["data.txt"])
    check_equal([status for status, _, _, _ in served(c, "data.txt")], [200, 200],
                "the statuses for data.txt")


def cut_every_time_fails_after_three_more_tries(c):
    c.install_package()
    old = c.package_files()
    publish_update(c, **{"data.txt": pak(MIB, 3)})
    c.server.reset_log()
    c.server.set_faults({"/one/data.txt": {"cut_after": 1000}})
    result = c.run()
    expect_failed_update(c, result, "data.txt no answer from the server -- nothing was replaced")
    c.recorded()
    expect_unchanged(c, old)
    check_equal(len(served(c, "data.txt")), REQUESTS_OF_A_FAILED_TRANSFER,
                "the requests for data.txt")


def interrupted_runs_download_is_continued(c):
    """A run killed with more than the first MiB of data.txt in its ".new": the next run goes on
    from its end; after other bytes were written into that file it is fetched once more whole;
    one as long as the file is judged by its digest and fetched afresh. The same bytes put at
    that name by hand, not by the launcher, are never continued."""
    c.install_package()
    content = pak(2 * MIB, 4)
    publish_update(c, **{"data.txt": content})
    temporary = os.path.join(c.package_dir, "data.txt.new")
    cases = [
        ("the file's start", None, lambda kept: [(206, "bytes=%d-" % kept)]),
        ("a MiB of other bytes", b"x" * MIB, lambda kept: [(206, "bytes=%d-" % kept),
                                                            (200, None)]),
        ("as long as the file", b"x" * len(content), lambda kept: [(200, None)]),
        ("the file's start, put there by hand", "by hand", lambda kept: [(200, None)]),
    ]
    for what, left, expected in cases:
        with open(os.path.join(c.package_dir, "data.txt"), "wb") as file:
            file.write(b"co-op data\n")  # the old version, so the file is due again
        kept = kill_after_the_first_mib(c, temporary)
        if left == "by hand":
            # Made while the launcher's file is still there: another file, not a reused inode.
            with open(temporary + ".hand", "wb") as file:
                file.write(content[:kept])
            os.replace(temporary + ".hand", temporary)
        elif left is not None:
            with open(temporary, "r+b") as file:  # the launcher's own file, other bytes
                file.write(left)
        c.server.reset_log()
        result = c.run()
        try:
            expect_ordinary_update(c, result, ["data.txt"])
        except Failure as failure:
            raise Failure("%s: %s" % (what, failure))
        check_equal([(status, asked) for status, asked, _, _ in served(c, "data.txt")],
                    expected(kept), "%s: the requests for data.txt" % what)
        os.remove(c.recorder_path())


def kill_after_the_first_mib(c, temporary):
    """Kills a run once data.txt.new holds its first MiB (the server stalls the body a little
    after it; the launcher's write buffer may hold the rest); returns the bytes it left."""
    c.server.set_faults({"/one/data.txt": {"stall_after": MIB + 262144, "stall_seconds": 60}})
    launcher = c.platform.start(c.game_dir)
    try:
        deadline = time.time() + 60
        while not (os.path.exists(temporary) and os.path.getsize(temporary) >= MIB):
            check(launcher.poll() is None and time.time() < deadline,
                  "data.txt.new never held its first MiB")
            time.sleep(0.02)
        time.sleep(0.2)
    finally:
        launcher.kill()
        launcher.communicate()
        c.server.set_faults({})
    return os.path.getsize(temporary)


def files_download_at_once_and_a_failure_installs_none(c):
    """Twelve files, up to eight in flight: an update without trouble prints them in manifest
    order; when a required one in the middle fails, none of the others' bytes is installed."""
    names = ["part%02d.pak" % i for i in range(12)]
    c.files.update({name: pak(200000 + i, 10 + i) for i, name in enumerate(names)})
    c.install_package()
    old = c.package_files()
    publish_update(c, **{name: pak(200000 + i, 30 + i) for i, name in enumerate(names)})
    # The files after the failing one are held mid-body, so they are surely in flight when it
    # fails; then they arrive whole, and still none of it may be installed.
    stalled = {"stall_after": 1000, "stall_seconds": 2}
    c.server.set_faults({"/one/part05.pak": {"status": 404}, "/one/part06.pak": stalled,
                         "/one/part07.pak": stalled})
    c.server.reset_log()
    result = c.run()
    expect_failed_update(c, result,
                         "part05.pak the server said HTTP 404 -- nothing was replaced",
                         downloads=names[:6])
    c.recorded()
    expect_unchanged(c, old)
    # A held transfer is logged when the server is done with it, which may be just after the
    # launcher.
    deadline = time.monotonic() + 10
    while True:
        in_flight = [entry for name in names[:8] for entry in served(c, name)]
        if len(in_flight) >= 8 or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    check_equal(sorted(status for status, _, _, _ in in_flight), [200] * 7 + [404],
                "the first eight files were not all asked for at once")
    check(len({connection for _, _, _, connection in in_flight}) > 1,
          "the first eight files came over one connection: none were in flight at once")
    os.remove(c.recorder_path())

    c.server.set_faults({})
    c.server.reset_log()
    expect_ordinary_update(c, c.run(), names)
    connections = {connection for name in names for _, _, _, connection in served(c, name)}
    check(len(connections) > 1, "every file came over one connection: none were in flight "
          "at once")


ALL = [
    cut_transfer_goes_on_from_its_bytes,
    server_without_ranges_is_read_from_byte_zero,
    cut_every_time_fails_after_three_more_tries,
    interrupted_runs_download_is_continued,
    files_download_at_once_and_a_failure_installs_none,
]
