#!/usr/bin/env python3
"""Whole runs that resume an interrupted download from nginx: the run asks
with If-Range whether the installer on the server is still the one whose
first bytes are on disk. Exit status 77 when nginx is missing."""

import os
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import e2e  # noqa: E402
import e2e_nginx  # noqa: E402
from e2e import check, equal, manifest, of, read_lines, records  # noqa: E402

MINE = {}
US = "updates/2007/win/us/100/"


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


@case
def resume_of_a_replaced_installer_fetches_it_whole(build):
    """An earlier run left half the installer and its validator; meanwhile the
    server got the next release of the same size: the run fetches that one from
    its first byte (200 to the resume), with no message, and installs it."""
    m = e2e_nginx.NginxMachine(build, "resume-replaced")
    try:
        server = m.start_server()
        body = m.installer()
        older, newer = (body + "".join("# %s %06d\n" % (tag, i) for i in range(40000))
                        for tag in ("old", "new"))
        size = m.serve(US + "pupd.exe", older)
        m.serve(US + "ver.txt", manifest("us", 101, size, "Federal forms final"))
        m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 5, 1000))
        request = m.request_file([("us", 100), ("ny", 5)])

        # What the stopped run left: the first half and nginx's ETag for it.
        target = os.path.join(m.cwd, "Update", "US100101pupd.exe")
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with direct.open(urllib.request.Request("http://%s/%spupd.exe" % (server, US),
                                                method="HEAD")) as answer:
            etag = answer.headers["ETag"]
        m.write(target, older[:size // 2])
        m.write(target + ".validator", etag)
        served = os.path.join(m.www, US, "pupd.exe")
        m.serve(US + "pupd.exe", newer)
        # nginx's ETag counts whole seconds: the new release must not share one.
        past = time.time() - 3600
        os.utime(served, (past, past))

        events = m.run([request, "/N", server],
                       ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1"],
                       elevation=False)
        equal(of(events, "message"), [], "messages")
        fetched = [(r["range"], r["status"], r["bytesSent"]) for r in read_lines(m.server_log)
                   if r["path"] == "/" + US + "pupd.exe" and r["method"] == "GET"]
        equal(fetched, [("bytes=%d-" % (size // 2), 200, size)], "installer requests")
        equal(m.read(target), newer, "the installer on disk")
        check(not os.path.exists(target + ".validator"), "the validator is gone")
        equal([r["event"] for r in records(m, "US100101pupd.exe")], ["start", "end"],
              "the installer ran")
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e_nginx.main(MINE))
