#!/usr/bin/env python3
"""Releases made with `tessra-publish release`, served by nginx to the real
program, and the staged rollout the program honours. Exit status 77 when
nginx is missing."""

import calendar
import hashlib
import math
import os
import secrets
import signal
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import e2e  # noqa: E402
import e2e_nginx  # noqa: E402
import e2e_delta  # noqa: E402
from e2e import check, equal, flow, manifest, of, records  # noqa: E402

MINE = {}
US = "updates/2007/win/us/"
UPDATE_STEPS = e2e_delta.UPDATE_STEPS


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


UTC = "%Y-%m-%dT%H:%M:%SZ"


def utc(seconds):
    return time.strftime(UTC, time.gmtime(seconds))


def seconds(text):
    return calendar.timegm(time.strptime(text, UTC))


def place(identity, code):
    digest = hashlib.sha256((identity + ":" + code).encode()).digest()
    return int.from_bytes(digest[:4], "big") / 2 ** 32


def early_identity():
    """An identity at the very front of US's rollout: offered within half a
    second of the start of a one-hour rollout."""
    while True:
        identity = secrets.token_hex(16)
        if place(identity, "us") * 3600 < 0.5:
            return identity


def fields(path):
    out = {}
    with open(path, encoding="latin-1") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            out.setdefault(key.upper(), []).append(value)
    return out


class Publisher(e2e_delta.DeltaMachine):
    def release(self, version, installer, *args, crash=False, tree=None):
        command = [os.path.join(self.build, "bin", "tessra-publish"), "release",
                   "--tree", tree or self.www, "--product", "US", "--year", "2007",
                   "--version", str(version), "--installer", installer, "--name", "pupd.exe",
                   "--message", "Federal %d" % version] + list(args)
        env = dict(os.environ, TESSRA_PUBLISH_TEST_CRASH="before-rename" if crash else "")
        return subprocess.run(command, capture_output=True, text=True, env=env)

    def served(self):
        """Every file a client can fetch (names starting with a dot are not served)."""
        out = {}
        for top, folders, files in os.walk(self.www):
            folders[:] = [f for f in folders if not f.startswith(".")]
            for name in files:
                if not name.startswith("."):
                    path = os.path.join(top, name)
                    out[os.path.relpath(path, self.www)] = self.read(path)
        return out

    def check_consistent(self, installed, offered):
        """Each installed version's manifest offers `offered` and fits the
        installer, patches and frame beside it, byte for byte."""
        for version in installed:
            folder = os.path.join(self.www, US, str(version))
            lines = fields(os.path.join(folder, "ver.txt"))
            data = open(os.path.join(folder, "pupd.exe"), "rb").read()
            equal((lines["VERSION"], lines["SIZE"], lines["SHA256"]),
                  ([str(offered)], [str(len(data))], [hashlib.sha256(data).hexdigest()]),
                  "the manifest and the installer of %d" % version)
            for value in lines.get("DELTA", []) + lines.get("PACKED", []):
                size, name = value.split()[-2:]
                equal(os.path.getsize(os.path.join(folder, name)), int(size), name)
            self.tool("verify", "--pub", self.key + ".pub", os.path.join(folder, "ver.txt"))


def delta_events(events):
    return [(e["outcome"], e["cause"]) for e in of(events, "delta")]


@case
def release_served_and_interrupted(build):
    """A signed release with patches and a rollout, served by nginx, updates the
    program through a patch; a second release killed once its files are written
    leaves every folder serving the first, and running it again completes it."""
    m = Publisher(build, "release")
    try:
        m.key = os.path.join(m.root, "keys", "publisher")
        os.makedirs(os.path.dirname(m.key))
        m.tool("keygen", m.key)
        m.environment["TESSRA_SWM_UPDATE_KEY"] = m.key + ".pub"
        v100, v101 = m.releases()
        v102 = v101 + e2e_delta.filler(4, 64 << 10)
        paths = {}
        for version, data in ((100, v100), (101, v101), (102, v102)):
            paths[version] = os.path.join(m.root, "installers", "us-%d.exe" % version)
            m.write(paths[version], data)
        m.write(os.path.join(m.data, "swm-id"), early_identity() + "\n")

        done = m.release(101, paths[101], "--for", "100", "--key", m.key + ".key",
                         "--delta-from", paths[100], "--packed", "--rollout-hours", "1")
        equal(done.returncode, 0, "release 101: " + done.stderr)
        released = time.time()
        m.check_consistent([100], 101)
        ny = os.path.join(m.www, "updates/2007/win/ny/5/ver.txt")
        m.write(ny, manifest("NY", 5, 10))
        m.tool("sign", "--key", m.key + ".key", ny)
        server = m.start_server()
        m.write(os.path.join(m.cwd, "Update", "US99100pupd.exe"), v100)  # an earlier run's
        time.sleep(max(0.0, released + 1 - time.time()))
        events = m.run([m.request_file([("us", 100), ("ny", 5)]), "/N", server], UPDATE_STEPS,
                       elevation=False)
        equal([(e["product"], e["offered"]) for e in of(events, "rollout")], [("us", True)],
              "rollout events")
        equal(delta_events(events), [("applied", "rebuilt")], "delta events")
        patch = [t for t, _ in m.fetched()]
        check(len(patch) == 1 and patch[0].endswith(".patch"), "fetched %r" % patch)
        e2e_delta.installed(m, os.path.join(m.cwd, "Update", "US100101pupd.exe"), v101)

        before = m.served()
        args = ["--key", m.key + ".key", "--delta-from", paths[101], "--delta-from", paths[100],
                "--rollout-hours", "1"]
        crashed = m.release(102, paths[102], *args, crash=True)
        equal(crashed.returncode, -signal.SIGKILL, "the run killed: " + crashed.stderr)
        equal(m.served(), before, "what the tree serves after the kill")
        m.check_consistent([100], 101)
        staged = [n for n in os.listdir(os.path.join(m.www, US, "101")) if n.startswith(".")]
        check(".pupd.exe.tessra-tmp" in staged, "written before the kill: %r" % staged)

        done = m.release(102, paths[102], *args)
        equal(done.returncode, 0, "release 102 again: " + done.stderr)
        released = time.time()
        m.check_consistent([100, 101], 102)
        leftovers = [os.path.join(top, n) for top, folders, files in os.walk(m.www)
                     for n in folders + files if n.startswith(".")]
        equal(leftovers, [], "temporary files left")

        # The copy now at 101 takes 102 through a patch from its own installer.
        time.sleep(max(0.0, released + 1 - time.time()))
        events = m.run([m.request_file([("us", 101), ("ny", 5)]), "/N", server], UPDATE_STEPS,
                       elevation=False)
        equal(delta_events(events), [("applied", "rebuilt")], "second update: delta events")
        base = of(events, "delta")[0]["base"]
        equal(os.path.basename(base), "US100101pupd.exe", "the base")
        e2e_delta.installed(m, os.path.join(m.cwd, "Update", "US101102pupd.exe"), v102)
    finally:
        m.cleanup()


@case
def release_refusals_and_dry_run(build):
    """Each refusal is one line and status 1 and writes nothing; a dry run prints
    the plan, with the deltas left out and why, and writes nothing either."""
    m = Publisher(build, "release-refusals")
    try:
        m.key = os.path.join(m.root, "publisher")
        m.tool("keygen", m.key)
        installer = os.path.join(m.root, "new.exe")
        m.write(installer, m.installer().encode() + os.urandom(1 << 20))  # incompressible
        m.write(os.path.join(m.www, US, "100", "ver.txt"), manifest("US", 100, 1))
        other = os.path.join(m.root, "other.exe")
        m.write(other, e2e_delta.filler(6, 1 << 20))
        os.symlink(os.path.join(m.www, US, "100"), os.path.join(m.www, US, "99"))
        unwritable = os.path.join(m.root, "ro")
        os.makedirs(os.path.join(unwritable, US))
        os.chmod(os.path.join(unwritable, US), 0o555)
        fifo = os.path.join(m.root, "fifo")
        os.mkfifo(fifo)
        cases = [((100, installer, "--for", "100"), {}, "not above the installed version 100"),
                 ((101, installer, "--for", "99"), {}, "is a link"),
                 ((101, fifo, "--for", "100"), {}, "is not a regular file"),
                 ((101, installer, "--for", "100", "--key", installer), {}, "does not load")]
        if os.geteuid() != 0:  # root may write anywhere
            cases.append(((101, installer, "--for", "100"), {"tree": unwritable}, "not writable"))
        before = m.served()
        for args, options, reason in cases:
            done = m.release(*args, **options)
            equal((done.returncode, done.stderr.count("\n")), (1, 1), reason + ": " + done.stderr)
            check(reason in done.stderr, "%r in %r" % (reason, done.stderr))
            equal(m.served(), before, reason + ": the tree")

        done = m.release(101, installer, "--for", "100", "--delta-from", other, "--packed",
                         "--rollout-hours", "24", "--dry-run")
        equal(done.returncode, 0, "dry run: " + done.stderr)
        for reason in ("over half the installer's size", "not smaller than the installer"):
            check(reason in done.stdout, "left out as %s: %s" % (reason, done.stdout))
        for line in [US + "100/pupd.exe: %d bytes" % os.path.getsize(installer),
                     US + "100/ver.txt: VERSION=101 for 100, ROLLOUT=", US + "101/ver.txt"]:
            check(line in done.stdout, "%r in the plan: %s" % (line, done.stdout))
        equal(m.served(), before, "the tree after a dry run")
        equal(sorted(os.listdir(os.path.join(m.www, US))), ["100", "99"], "folders made")
    finally:
        os.chmod(os.path.join(m.root, "ro", US), stat.S_IRWXU)
        m.cleanup()


@case
def rollout_offers_when_the_rule_says(build):
    """An installation is offered the version exactly from its place in the
    rollout on; a pause holds it back, a resume goes on from where it stopped;
    a purchase ignores the rollout."""
    m = Publisher(build, "rollout")
    try:
        server = m.start_server()
        size = m.serve(US + "100/pupd.exe", m.installer())
        m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 5, 10))
        request = m.request_file([("us", 100), ("ny", 5)])
        identity = secrets.token_hex(16)
        m.write(os.path.join(m.data, "swm-id"), identity + "\n")
        hours = 1000
        reach = math.ceil(place(identity, "us") * hours * 3600)
        ver = os.path.join(m.www, US, "100", "ver.txt")

        def publish(start, paused=None):
            value = "%s %d" % (utc(start), hours) + (" " + utc(paused) if paused else "")
            m.write(ver, manifest("us", 101, size, "Federal forms final") + "ROLLOUT=" + value +
                    "\r\n")

        def rollout(*args):
            m.tool("rollout", "--tree", m.www, "--product", "us", *args)
            return fields(ver)["ROLLOUT"][0].split()

        def run(offered, what):
            steps = UPDATE_STEPS if offered else ["NoUpdatesAvailDlg 2"]
            events = m.run([request, "/N", server], steps, elevation=False)
            line = fields(ver)["ROLLOUT"][0].split()
            event = {"event": "rollout", "product": "us", "p": place(identity, "us"),
                     "offeredAt": utc(seconds(line[0]) + reach), "paused": len(line) == 3,
                     "identity": True, "offered": offered}
            equal(of(events, "rollout"), [event], what + ": rollout events")
            if not offered:
                lines = of(events, "screen")[0]["lists"]["1026"]
                check(any("Federal forms final" in line for line in lines), what + ": listed")
            return events

        now = int(time.time())
        publish(now - reach + 4)  # this installation's turn comes in 4 s
        run(False, "before its time")
        rollout("--pause")
        time.sleep(5)
        run(False, "paused before its time")
        paused_at = seconds(fields(ver)["ROLLOUT"][0].split()[2])
        moved = seconds(rollout("--resume")[0])
        check(abs(moved - (now - reach + 4 + time.time() - paused_at)) <= 1.5,
              "START moved on by the time paused")
        run(False, "resumed, the time paused still ahead")
        time.sleep(max(0.0, moved + reach + 1 - time.time()))
        run(True, "resumed, past its time")
        e2e_delta.installed(m, os.path.join(m.cwd, "Update", "US100101pupd.exe"),
                            m.read(os.path.join(m.www, US, "100", "pupd.exe")))

        # A purchase takes the state's current version whatever its rollout.
        now = int(time.time())
        cfg_size = m.serve("states/TessraCA.exe", m.installer())
        m.serve("states/ver.txt", manifest("CA", 200, cfg_size) + "ROLLOUT=%s 1\r\n" %
                utc(now + 86400))
        events = m.run(["http://%s/states/TessraCA.exe" % server, "/purchase"], ["DLMgrDlg wait"],
                       elevation=False)
        equal(of(events, "rollout"), [], "purchase: rollout events")
        check("launch TessraCA.exe" in flow(events), "purchase: %r" % flow(events))
        equal([r["event"] for r in records(m, "TessraCA.exe")], ["start", "end"], "state ran")
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e_nginx.main(MINE))
