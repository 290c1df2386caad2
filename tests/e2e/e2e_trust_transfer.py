#!/usr/bin/env python3
"""Whole runs against things planted in the all-users Downloads folder: a link
or a FIFO where the state installer goes is never written through, never run,
and nothing outside Downloads changes."""

import os
import stat
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import Machine, check, equal, flow, manifest, of, records  # noqa: E402

MINE = {}


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


RAN = 'record(event="ran")\n'


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def snapshot(path):
    """Contents and mode of a file outside Downloads, or None when it is missing."""
    if not os.path.lexists(path):
        return None
    with open(path, "rb") as f:
        return f.read(), mode(path)


@case
def purchase_through_planted_links(build):
    """A link, FIFO or hard link at Downloads/TessraNY.exe fails the download (problem 23)."""
    m = Machine(build, "planted")
    try:
        server = m.start_server()
        size = m.serve("states/TessraNY.exe", m.installer())
        m.serve("states/ver.txt", manifest("NY", 200, size, "New York"))
        address = "http://%s/states/TessraNY.exe" % server
        target = os.path.join(m.downloads, "TessraNY.exe")

        # Without a plant the same run installs; the folders it creates and the
        # installer are not writable by other users, whatever the umask.
        os.rmdir(m.downloads)
        old = os.umask(0)
        try:
            proc, transcript = m.launch([address, "/purchase"], ["DLMgrDlg wait"],
                                        elevation=False)
        finally:
            os.umask(old)
        events = m.finish(proc, transcript)
        check("launch TessraNY.exe" in flow(events), "installed without a plant: %r" % flow(events))
        equal(mode(m.downloads), 0o755, "mode of the created Downloads folder")
        equal(mode(target) & 0o022, 0, "group and other write bits of the installer")

        outside = os.path.join(m.root, "outside")
        os.makedirs(outside)
        small = os.path.join(outside, "small.exe")
        big = os.path.join(outside, "big.exe")
        m.write_recorder(small, RAN, mode=0o644)
        # At least the manifest's size: a link to it must not pass for a complete download.
        m.write_recorder(big, RAN + "#" * size + "\n", mode=0o755)
        made = os.path.join(outside, "made.exe")
        plants = [
            ("link to a missing file", lambda: os.symlink(made, target)),
            ("link to a file", lambda: os.symlink(small, target)),
            ("link to a complete file", lambda: os.symlink(big, target)),
            ("second name of a file", lambda: os.link(small, target)),
            ("FIFO", lambda: os.mkfifo(target, 0o644)),
        ]
        for name, plant in plants:
            os.remove(target)
            plant()
            planted = os.lstat(target)
            before = {p: snapshot(p) for p in (small, big, made)}
            proc, transcript = m.launch([address, "/purchase"], ["DLMgrDlg wait"],
                                        elevation=False)
            events = m.finish(proc, transcript, timeout=30)
            equal(flow(events), ["start", "screen DLMgrDlg", "message Problem Detected",
                                 "result DLMgrDlg 2", "end"], name + ": course of the run")
            check("Problem number (23)" in of(events, "message")[0]["text"],
                  name + ": problem 23")
            equal({p: snapshot(p) for p in (small, big, made)}, before,
                  name + ": files outside Downloads")
            after = os.lstat(target)
            equal((after.st_ino, after.st_mode, after.st_size),
                  (planted.st_ino, planted.st_mode, planted.st_size),
                  name + ": the plant as it was")
        equal([r for r in records(m) if r["event"] == "ran"], [], "planted programs run")
    finally:
        m.cleanup()


@case
def reinstall_runs_no_link(build):
    """-reinstall CA NY, Downloads/TessraNY.exe a link: CA installs, the target never runs."""
    m = Machine(build, "reinstall-link")
    try:
        state = os.path.join(m.common, "Tessra", "2007")
        m.write(os.path.join(state, "CA.txt"), "{CA-0001}\n")
        m.write(os.path.join(state, "NY.txt"), "{NY-0002}\n")
        m.write(os.path.join(m.downloads, "TessraCA.exe"), m.installer(), mode=0o644)
        elsewhere = os.path.join(m.root, "elsewhere.exe")
        m.write_recorder(elsewhere, RAN, mode=0o644)
        os.symlink(elsewhere, os.path.join(m.downloads, "TessraNY.exe"))
        events = m.run(["-reinstall", "CA", "NY"], [])
        equal([os.path.basename(e["file"]) for e in of(events, "launch")],
              ["msiexec.exe", "msiexec.exe", "TessraCA.exe", "TessraNY.exe", "Tessra.exe"],
              "starts asked for")
        e2e.wait_for(lambda: records(m, "Tessra.exe"), "the restarted tax program")
        equal([(r["who"], r["event"]) for r in records(m)],
              [("msiexec.exe", "start"), ("msiexec.exe", "end"),
               ("msiexec.exe", "start"), ("msiexec.exe", "end"),
               ("TessraCA.exe", "start"), ("TessraCA.exe", "end"),
               ("Tessra.exe", "started")], "programs that ran")
        equal(mode(elsewhere), 0o644, "the link's target is not made executable")
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e.main(MINE))
