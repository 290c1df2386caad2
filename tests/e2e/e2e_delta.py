#!/usr/bin/env python3
"""Whole runs of delta updates against nginx: only the patch crosses the wire
when the earlier installer is on disk, and any doubt ends in the whole
installer, installed as before. Exit status 77 when nginx is missing."""

import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e  # noqa: E402
import e2e_nginx  # noqa: E402
from e2e import check, equal, flow, manifest, of, records  # noqa: E402

MINE = {}
UPDATE_STEPS = ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1"]
US = "updates/2007/win/us/100/"


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


def filler(seed, size):
    """Comment lines a patch can copy from the base but a compressor cannot shrink much."""
    rng = random.Random(seed)
    return "".join("# %032x\n" % rng.getrandbits(128) for _ in range(size // 35))


class DeltaMachine(e2e_nginx.NginxMachine):
    def tool(self, *args):
        done = subprocess.run([os.path.join(self.build, "bin", "tessra-publish")] + list(args),
                              capture_output=True)
        check(done.returncode == 0, "tessra-publish %r: %s" % (args, done.stderr))
        return done.stdout

    def releases(self):
        """An earlier installer and the next one: the same program, one part changed."""
        body, shared = self.installer(), filler(1, 1 << 20)
        return (body + shared + filler(2, 64 << 10), body + shared + filler(3, 64 << 10))

    def publish(self, folder, code, version, installer, deltas=(), key=None, name="pupd.exe"):
        """Serves the installer, its patches (OLD bytes, PATCH name) and its manifest."""
        path = os.path.join(self.www, folder, name)
        self.serve(os.path.join(folder, name), installer)
        args = ["manifest", "--product", code, "--year", "2007", "--version", str(version),
                "--message", code + " forms final"]
        for i, (old, patch) in enumerate(deltas):
            base = os.path.join(self.root, "base-%d" % i)
            self.write(base, old)
            self.tool("delta", base, path, os.path.join(self.www, folder, patch))
            args += ["--delta", "%s:%s" % (base, os.path.join(self.www, folder, patch))]
        if key:
            args += ["--key", key]
        self.serve(os.path.join(folder, "ver.txt"), self.tool(*(args + [path])))

    def update(self, old, new, key=None, patch="us100.patch"):
        server = self.start_server()
        self.publish(US, "US", 101, new, [(old, patch)], key)
        self.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 5, 10))
        return server, self.request_file([("us", 100), ("ny", 5)])

    def fetched(self):
        return [(target, status) for _, target, _, status in self.requests()
                if not target.endswith("ver.txt")]


def delta_events(events):
    return [(e["outcome"], e["cause"]) for e in of(events, "delta")]


def installed(m, path, new):
    equal(m.read(path), new, "the installer on disk")
    who = os.path.basename(path)
    equal([r["event"] for r in records(m, who)], ["start", "end"], who + " ran")


@case
def delta_update_fetches_only_the_patch(build):
    """An earlier installer on disk: the patch alone is fetched, resumed where an
    earlier run stopped, rebuilt, checked and installed; the screens count its bytes."""
    m = DeltaMachine(build, "delta")
    try:
        old, new = m.releases()
        server, request = m.update(old, new)
        m.write(os.path.join(m.cwd, "Update", "US99100pupd.exe"), old)  # an earlier run's
        target = os.path.join(m.cwd, "Update", "US100101pupd.exe")
        patch = m.read(os.path.join(m.www, US, "us100.patch"))
        m.write(target + ".delta", patch[:len(patch) // 2])  # a run that stopped half-way
        events = m.run([request, "/N", server], UPDATE_STEPS, elevation=False)
        equal(m.fetched(), [("/" + US + "us100.patch", 206)], "installer files fetched")
        equal(delta_events(events), [("applied", "rebuilt")], "delta events")
        equal(of(events, "delta")[0]["patchBytes"], len(patch), "patch bytes")
        check(len(patch) * 10 < len(new), "patch %d of %d bytes" % (len(patch), len(new)))
        progress = [e for e in of(events, "result") if e["screen"] == "DLMgrDlg"][0]
        equal(progress["texts"]["1012"], str(len(patch) // 1000), "kilobytes the progress counts")
        installed(m, target, new)
        check(not os.path.exists(target + ".delta"), "the patch is gone")
    finally:
        m.cleanup()


@case
def delta_doubts_fall_back_to_the_whole_installer(build):
    """No base, a missing, too long, damaged or wrong patch: the whole installer,
    in the same run, without a message, and a delta event saying why."""
    def no_base(m, old, new):
        os.remove(os.path.join(m.cwd, "Update", "US99100pupd.exe"))

    def missing(m, old, new):
        os.remove(os.path.join(m.www, US, "us100.patch"))

    def too_long(m, old, new):
        with open(os.path.join(m.www, US, "us100.patch"), "ab") as f:
            f.write(b"\0" * 100)

    def damaged(m, old, new):
        path = os.path.join(m.www, US, "us100.patch")
        data = bytearray(open(path, "rb").read())
        data[len(data) // 2] ^= 0xFF
        open(path, "wb").write(bytes(data))

    def wrong(m, old, new):  # decodes to the right size, but other bytes
        patch, ver = os.path.join(m.www, US, "us100.patch"), os.path.join(m.www, US, "ver.txt")
        genuine = os.path.getsize(patch)
        other = os.path.join(m.root, "other.exe")
        m.write(other, new[:-2] + "#\n")
        m.tool("delta", os.path.join(m.root, "base-0"), other, patch)
        m.write(ver, m.read(ver).replace(" %d us100.patch" % genuine,
                                         " %d us100.patch" % os.path.getsize(patch)))

    for plant, cause in [(no_base, "no-base"), (missing, "problem-22"),
                         (too_long, "problem-63"), (damaged, "corrupt"),
                         (wrong, "hash-mismatch")]:
        m = DeltaMachine(build, "delta-" + cause)
        try:
            old, new = m.releases()
            server, request = m.update(old, new)
            m.write(os.path.join(m.cwd, "Update", "US99100pupd.exe"), old)
            plant(m, old, new)
            events = m.run([request, "/N", server], UPDATE_STEPS, elevation=False)
            equal(delta_events(events), [("fallback", cause)], cause + ": delta events")
            equal(of(events, "message"), [], cause + ": messages")
            check(("/" + US + "pupd.exe", 200) in m.fetched(), cause + ": " + repr(m.fetched()))
            target = os.path.join(m.cwd, "Update", "US100101pupd.exe")
            installed(m, target, new)
            leftovers = [n for n in os.listdir(os.path.dirname(target)) if ".delta" in n or
                         ".rebuild" in n]
            equal(leftovers, [], cause + ": patch and rebuilt files left")
        finally:
            m.cleanup()


@case
def delta_signed_and_purchase(build):
    """A signed manifest with a DELTA line works and one changed byte is refused;
    a purchase takes the state installer bought before as its base."""
    m = DeltaMachine(build, "delta-signed")
    try:
        prefix = os.path.join(m.root, "keys", "publisher")
        os.makedirs(os.path.dirname(prefix))
        m.tool("keygen", prefix)
        m.environment["TESSRA_SWM_UPDATE_KEY"] = prefix + ".pub"
        old, new = m.releases()
        server, request = m.update(old, new, key=prefix + ".key")
        m.publish("updates/2007/win/ny/5/", "NY", 5, "ny", key=prefix + ".key")
        m.write(os.path.join(m.cwd, "Update", "US99100pupd.exe"), old)
        events = m.run([request, "/N", server], UPDATE_STEPS, elevation=False)
        equal(delta_events(events), [("applied", "rebuilt")], "signed: delta events")
        installed(m, os.path.join(m.cwd, "Update", "US100101pupd.exe"), new)

        signed = os.path.join(m.www, US, "ver.txt")
        text = m.read(signed)
        m.write(signed, text.replace("us100.patch", "us100.patcH"))
        events = m.run([request, "/N", server], ["NoNetworkDlg 2", "ResumeCancelDlg 2"])
        check("screen NoNetworkDlg" in flow(events), "one changed byte: %r" % flow(events))

        # The purchase of a state bought before: its installer is the base.
        state_old, state_new = m.releases()
        m.publish("states/", "NY", 200, state_new, [(state_old, "ny.patch")],
                  key=prefix + ".key", name="TessraNY.exe")
        target = os.path.join(m.downloads, "TessraNY.exe")
        m.write(target, state_old)
        before = len(m.requests())
        events = m.run(["http://%s/states/TessraNY.exe" % server, "/purchase"],
                       ["DLMgrDlg wait"], elevation=False)
        equal([t for _, t, _, _ in m.requests()[before:]], ["/states/ver.txt", "/states/ny.patch"],
              "purchase requests")
        equal(delta_events(events), [("applied", "rebuilt")], "purchase: delta events")
        installed(m, target, state_new)
    finally:
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e_nginx.main(MINE))
