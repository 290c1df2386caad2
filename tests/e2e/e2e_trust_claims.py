#!/usr/bin/env python3
"""Runs under a publisher key: manifests of another request or expired; two keys."""

import os
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import check, equal, flow, read_lines  # noqa: E402
from e2e_trust_verify import (CANNOT_CONNECT_FLOW, CANNOT_CONNECT_STEPS, UPDATE_STEPS,  # noqa: E402
                              US_INSTALLER, US_MANIFEST, TrustMachine, launched,
                              signed_update_machine)

MINE = {}
ALERT = "alert/2007/win/alert/alert.txt"


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


def us_manifest(m, year, *extra):
    return m.tool("manifest", "--product", "US", "--year", str(year), "--version", "101",
                  "--message", "m", "--key", m.secret, os.path.join(m.www, US_INSTALLER), *extra)


def refused(m, args, what):
    before = len(read_lines(m.server_log))
    equal(flow(m.run(args, CANNOT_CONNECT_STEPS)), CANNOT_CONNECT_FLOW, what)
    fetched = [r["target"] for r in read_lines(m.server_log)[before:]]
    check(not any(t.endswith(".exe") for t in fetched), "%s: fetched %r" % (what, fetched))


@case
def manifests_of_another_request_are_refused(build):
    m = TrustMachine(build, "replay")
    try:
        server, request, _ = signed_update_machine(m)
        for what, text in (("CA's manifest", m.served("updates/2007/win/ca/7/ver.txt")),
                           ("2006's manifest", us_manifest(m, 2006))):
            m.serve(US_MANIFEST, text)
            refused(m, [request, "/N", server], what + " at US's address")
        # The alert's "product=ALERT" answers its request for "alert".
        m.serve(ALERT, e2e.manifest("ALERT", 7, 0, "Check your W-2 forms"))
        m.sign(ALERT)
        alert_args = ["/alert", "/hide", m.request_file([("ny", 5)], "ny.cfg"), "/N", server]
        equal(flow(m.run(alert_args, ["NoUpdatesAvailDlg 2"])),
              ["start", "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2", "end"], "alert")
        m.serve(ALERT, m.served("updates/2007/win/ny/5/ver.txt"))
        refused(m, alert_args, "NY's manifest at the alert's address")
    finally:
        m.cleanup()


@case
def rotated_keys_and_expiring_manifests(build):
    m = TrustMachine(build, "rotation")
    try:
        m.keygen()
        old = m.read(m.key_file)
        m.tool("keygen", os.path.join(m.root, "keys", "new"))
        m.key_file, m.secret = m.key_file + ".both", os.path.join(m.root, "keys", "new.key")
        m.write(m.key_file, "# old\n" + old + "\n# new\n" + m.read(m.secret[:-4] + ".pub"))
        server, request, _ = e2e.update_machine(m, watch_ts07=False)
        m.publish_manifest("updates/2007/win/ca/7/ver.txt", "CA", 9, "updates/2007/win/ca/7/upd.exe")
        m.sign("updates/2007/win/ny/5/ver.txt")

        yesterday = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 86400))
        m.serve(US_MANIFEST, us_manifest(m, 2007).split(b"SIGNATURE=")[0] +
                b"EXPIRES=" + yesterday.encode() + b"\r\n")
        m.sign(US_MANIFEST)
        refused(m, [request, "/N", server], "expired yesterday")
        m.serve(US_MANIFEST, us_manifest(m, 2007, "--expires-days", "30"))
        equal(launched(m.run([request, "/N", server], UPDATE_STEPS)),
              ["US100101pupd.exe", "CA79pupd.exe", "Tessra.exe"], "second key, expires in 30 days")
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e.main(MINE))
