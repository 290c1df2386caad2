#!/usr/bin/env python3
"""Whole runs against folders a neighbour could plant: a link another user
made, a folder of another user, a folder others may write. Nothing is written
into them or run from them, and the user is told which folder and why."""

import glob
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import Machine, check, equal, flow, manifest, of, records  # noqa: E402

MINE = {}
NOBODY = 65534  # the neighbour


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


def neighbours_link(target, path):
    os.symlink(target, path)
    os.lchown(path, NOBODY, NOBODY)


def folder(path, mode, owner=None):
    os.makedirs(path)
    os.chmod(path, mode)
    if owner is not None:
        os.chown(path, owner, owner)


def refusal(events, refused, why):
    equal(flow(events), ["start", "file-problem", "message Problem Detected", "end"],
          "course of the run")
    text = of(events, "message")[0]["text"]
    check("cannot safely use the folder\n%s\n%s" % (refused, why) in text, text)


@case
def planted_folders_are_refused(build):
    """Downloads as a neighbour's link, a neighbour's folder or a folder all may
    write: the purchase writes and runs nothing; a link of the user's own is followed."""
    m = Machine(build, "folders")
    try:
        server = m.start_server()
        size = m.serve("states/TessraNY.exe", m.installer())
        m.serve("states/ver.txt", manifest("NY", 200, size, "New York"))
        address = "http://%s/states/TessraNY.exe" % server
        elsewhere = os.path.join(m.root, "elsewhere")
        m.write(os.path.join(elsewhere, "ver.txt"), "keep me\n")
        state = os.path.join(m.common, "Tessra", "2007")
        plants = [
            ("a neighbour's link", lambda: neighbours_link(elsewhere, m.downloads),
             "it is a link to another place"),
            ("a neighbour's folder", lambda: folder(m.downloads, 0o777, NOBODY),
             "it belongs to another user"),
            ("a folder all may write", lambda: folder(m.downloads, 0o777),
             "other users may change its contents"),
        ]
        for name, plant, why in plants:
            shutil.rmtree(m.downloads, ignore_errors=True)
            if os.path.islink(m.downloads):
                os.unlink(m.downloads)
            plant()
            events = m.run([address, "/purchase"], [], elevation=False)
            refusal(events, m.downloads, why)
            equal(m.requests(), [], name + ": server requests")
            equal(sorted(os.listdir(elsewhere)), ["ver.txt"], name + ": files elsewhere")
            equal(m.read(os.path.join(elsewhere, "ver.txt")), "keep me\n", name + ": ver.txt")
            check(not os.path.exists(os.path.join(state, "purchase.cfg")), name + ": purchase.cfg")

        # The same chain one level up, and a reinstall through it: nothing starts.
        os.unlink(m.downloads) if os.path.islink(m.downloads) else shutil.rmtree(m.downloads)
        m.write(os.path.join(elsewhere, "Downloads", "TessraCA.exe"), m.installer())
        m.write(os.path.join(elsewhere, "CA.txt"), "{CA-0001}\n")
        shutil.rmtree(state)
        neighbours_link(elsewhere, state)
        events = m.run(["-reinstall", "CA"], [])
        refusal(events, state, "it is a link to another place")
        equal(records(m), [], "programs that ran")

        # A link the user made himself is his own layout.
        os.unlink(state)
        mine = os.path.join(m.root, "mine")
        os.makedirs(os.path.join(mine, "Downloads"))
        os.symlink(mine, state)
        events = m.run([address, "/purchase"], ["DLMgrDlg wait"], elevation=False)
        check("launch TessraNY.exe" in flow(events), "through an own link: %r" % flow(events))
        check(os.path.isfile(os.path.join(mine, "Downloads", "TessraNY.exe")), "the download")
    finally:
        m.cleanup()


@case
def install_mode_never_uses_a_shared_temporary_folder(build):
    """/install without TEMP or TMPDIR downloads into a private folder of its own,
    never /tmp/Update; a TEMP that others may write is refused."""
    m = Machine(build, "install-temp")
    try:
        server = m.start_server()
        size = m.serve("updates/2007/win/us/premium/100/pupd.exe", m.installer())
        m.serve("updates/2007/win/us/premium/100/ver.txt", manifest("US", 101, size))
        m.serve("updates/2007/win/ny/premium/5/ver.txt", manifest("NY", 5, 10))
        request = m.request_file([("us", 100), ("ny", 5)])
        steps = ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1"]
        m.environment.update({"TEMP": None, "TMPDIR": None})
        before = set(glob.glob("/tmp/tessra-swm-*"))
        events = m.run([request, "/N", "/install", server], steps, elevation=False)
        made = sorted(set(glob.glob("/tmp/tessra-swm-*")) - before)
        equal(made, [], "private folders left behind")
        installer = of(events, "launch")[0]["file"]
        check(installer.startswith("/tmp/tessra-swm-") and
              installer.endswith("/Update/USupd.exe"), "the installer's path " + installer)

        shared = os.path.join(m.root, "shared")
        folder(shared, 0o777)
        m.environment["TEMP"] = shared
        events = m.run([request, "/N", "/install", server], steps, elevation=False)
        check("message Problem Detected" in flow(events), "refused: %r" % flow(events))
        check("cannot safely use the folder\n%s\n" % shared in of(events, "message")[0]["text"],
              of(events, "message")[0]["text"])
        equal(of(events, "launch"), [], "nothing started")
        equal(os.listdir(shared), [], "nothing written in " + shared)
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e.main(MINE))
