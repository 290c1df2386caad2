#!/usr/bin/env python3
"""Whole runs of tessra-swm as a user's machine would run them.

Each case builds a temporary machine: data folders, a registry stand-in, a
request file, a real tessra-update-server on 127.0.0.1 serving a temporary
tree, a stand-in "Tessra.exe" beside a copy of tessra-swm, a stand-in
"msiexec.exe" on PATH, and installers that record their arguments. The program
runs under the autopilot and the transcript; the cases check the transcript,
the server's request log and the stand-ins' records.

  e2e.py --build BUILD_DIR CASE        run one case (exit 0 when it passes)
  e2e.py --build BUILD_DIR --list      list the cases
  e2e.py --build BUILD_DIR --bench-wait SECONDS
"""

import argparse
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def equal(actual, expected, what):
    if actual != expected:
        raise Failure("%s:\n  actual:   %r\n  expected: %r" % (what, actual, expected))


def wait_for(predicate, what, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise Failure("timed out waiting for " + what)


def read_lines(path):
    try:
        with open(path, "r", encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


# A recorder: every stand-in program writes one JSON line per event into the
# machine's record file, so their order can be checked.
RECORDER = r'''#!{python}
import json, os, signal, sys, time
RECORDS = {records!r}
def record(**fields):
    fields["who"] = os.path.basename(sys.argv[0])
    fields["pid"] = os.getpid()
    with open(RECORDS, "a") as f:
        f.write(json.dumps(fields) + "\n")
{body}
'''

TAX_PROGRAM_BODY = r'''
if sys.argv[1:] == ["--stay"]:
    # The running tax program: ends when asked to close.
    def closed(signum, frame):
        record(event="closed")
        sys.exit(0)
    signal.signal(signal.SIGTERM, closed)
    record(event="running")
    while True:
        time.sleep(0.05)
else:
    record(event="started", argv=sys.argv[1:])
'''

INSTALLER_BODY = r'''
def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return None
def own(name):
    # What the system shows of this process: its command line and environment.
    try:
        with open("/proc/self/" + name, "rb") as f:
            return [part.decode("latin-1") for part in f.read().split(b"\0") if part]
    except OSError:
        return None
record(event="start", argv=sys.argv[1:], watch={{p: read(p) for p in {watch!r}}},
       cmdline=own("cmdline"), environ=own("environ"))
time.sleep(0.2)
record(event="end")
'''


class Machine:
    """A temporary user's machine with the program, its data and a server."""

    def __init__(self, build, name):
        self.build = os.path.abspath(build)
        self.root = tempfile.mkdtemp(prefix="e2e-%s-" % name)
        self.python = sys.executable
        join = os.path.join
        self.app = join(self.root, "app")
        self.appdata = join(self.root, "appdata")
        self.common = join(self.root, "common")
        self.cwd = join(self.root, "cwd")
        self.www = join(self.root, "www")
        self.pathbin = join(self.root, "pathbin")
        self.runtime = join(self.root, "run")
        self.records = join(self.root, "records.jsonl")
        self.server_log = join(self.root, "server.jsonl")
        self.data = join(self.appdata, "Tessra", "2007")
        self.downloads = join(self.common, "Tessra", "2007", "Downloads")
        for d in (self.app, self.data, self.downloads, self.cwd, self.www, self.pathbin,
                  join(self.root, "home"), join(self.root, "config")):
            os.makedirs(d, exist_ok=True)
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.registry = join(self.root, "registry.cfg")
        self.write(self.registry, "SOFTWARE\\ZVN\\2007\\Edition=premium\n")
        self.ts07 = join(self.data, "ts07.cfg")
        self.write(self.ts07, "string:ui_prop_proxy_which=none\nbool:ui_prop_tessra_updated=false\n"
                   "string:ui_prop_last_form=1040\n")
        # The program runs from its own folder, beside the tax program.
        self.swm = join(self.app, "tessra-swm")
        shutil.copy2(join(self.build, "bin", "tessra-swm"), self.swm)
        self.tax = join(self.app, "Tessra.exe")
        self.write_recorder(self.tax, TAX_PROGRAM_BODY, mode=0o755)
        self.write_recorder(join(self.pathbin, "msiexec.exe"),
                            INSTALLER_BODY.format(watch=[]), mode=0o755)
        # Raised rights: where the test runs without root, a pass-through pkexec.
        self.write(join(self.pathbin, "pkexec"), '#!/bin/sh\nexec "$@"\n', mode=0o755)
        self.server = None
        self.port = None
        self.stay = None
        self.runs = 0
        self.environment = {}  # the program's environment beyond the machine's; None unsets

    # -- files ---------------------------------------------------------------
    def write(self, path, text, mode=None):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text.encode("latin-1") if isinstance(text, str) else text)
        if mode is not None:
            os.chmod(path, mode)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def recorder(self, body):
        return RECORDER.format(python=self.python, records=self.records, body=body)

    def write_recorder(self, path, body, mode=None):
        self.write(path, self.recorder(body), mode)

    def installer(self, watch=()):
        """The text of an installer that records its arguments and the watched files."""
        return self.recorder(INSTALLER_BODY.format(watch=list(watch)))

    def serve(self, relative, text):
        self.write(os.path.join(self.www, relative), text)
        return len(text.encode("latin-1") if isinstance(text, str) else text)

    def request_file(self, products, name="download.cfg"):
        """The tax program's request: one record per (code, installed version)."""
        lines = ["edition=premium"]
        for code, installed in products:
            lines += ["output=%s/%s-ver.txt" % (self.data, code), "file-bytes=0",
                      "installed-ver=%d" % installed, "year=2007", "camp=C1", "product=" + code,
                      "prom=P1", "ver=ver.txt"]
        path = os.path.join(self.data, name)
        self.write(path, "".join(line + "\r\n" for line in lines))
        return path

    # -- server --------------------------------------------------------------
    def start_server(self):
        self.server = subprocess.Popen(
            [os.path.join(self.build, "bin", "tessra-update-server"), "--root", self.www,
             "--bind", "127.0.0.1", "--port", "0", "--log", self.server_log],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.server.stdout.readline()
        check(line.startswith("listening on "), "server did not start: %r" % line)
        self.port = int(line.split()[-1])
        return "127.0.0.1:%d" % self.port

    def requests(self):
        return [(r["method"], r["target"], r.get("userAgent"), r["status"])
                for r in read_lines(self.server_log)]

    # -- the tax program -----------------------------------------------------
    def start_tax_program(self):
        self.stay = subprocess.Popen([self.tax, "--stay"])
        wait_for(lambda: any(r.get("event") == "running" for r in read_lines(self.records)),
                 "the tax program to run")
        return self.stay.pid

    def tax_program_exited(self):
        return self.stay is not None and self.stay.poll() is not None

    # -- the program ---------------------------------------------------------
    def env(self, elevation, autopilot, transcript):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                    "display", "wayland_display", "qt_qpa_platform",
                                    "xdg_state_home", "dbus_session_bus_address")
               and not k.startswith("TESSRA_")}
        env.update({
            "PATH": self.pathbin + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.path.join(self.root, "home"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_RUNTIME_DIR": self.runtime,
            "TESSRA_APPDATA": self.appdata,
            "TESSRA_COMMON_APPDATA": self.common,
            "TESSRA_REGISTRY": self.registry,
            "TESSRA_ELEVATION": "1" if elevation else "0",
            "TESSRA_SWM_AUTOPILOT": autopilot,
            "TESSRA_SWM_TRANSCRIPT": transcript,
            "no_proxy": "*",
        })
        for name, value in self.environment.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def launch(self, args, autopilot, elevation=True):
        """Starts the program; returns the process and its transcript path."""
        self.runs += 1
        pilot = os.path.join(self.root, "autopilot-%d.txt" % self.runs)
        transcript = os.path.join(self.root, "transcript-%d.jsonl" % self.runs)
        self.write(pilot, "".join(step + "\n" for step in autopilot))
        proc = subprocess.Popen([self.swm] + list(args), cwd=self.cwd,
                                env=self.env(elevation, pilot, transcript),
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        return proc, transcript

    def finish(self, proc, transcript, timeout=60):
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise Failure("tessra-swm did not end; transcript: %r" % read_lines(transcript))
        events = read_lines(transcript)
        errors = [e for e in events if e["event"] == "autopilot-error"]
        check(not errors, "autopilot error %r; stderr: %s" % (errors, err[-2000:]))
        equal(proc.returncode, 0, "exit status (stderr: %s)" % err[-2000:])
        return events

    def run(self, args, autopilot, elevation=True):
        proc, transcript = self.launch(args, autopilot, elevation)
        return self.finish(proc, transcript)

    def cleanup(self):
        for p in (self.stay, self.server):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if os.environ.get("E2E_KEEP"):
            print("kept " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


# -- transcript helpers -------------------------------------------------------

def flow(events):
    """The course of a run in short: screens, results, messages, starts, requests."""
    out = []
    for e in events:
        kind = e["event"]
        if kind in ("screen", "result"):
            out.append("%s %s" % (kind, e["screen"]) + (" %d" % e["result"] if kind == "result" else ""))
        elif kind == "message":
            out.append("message " + e["title"])
        elif kind == "launch":
            out.append("launch " + os.path.basename(e["file"]))
        elif kind in ("foreground", "close-request", "open"):
            out.append(kind)
        elif kind in ("start", "end"):
            out.append(kind)
        else:
            out.append(kind)
    return out


def of(events, kind):
    return [e for e in events if e["event"] == kind]


def launch_event(file, parameters, verb, show, wait, copy=False):
    """A launch as launches() shows it; copy: a downloaded installer run from its private copy."""
    event = {"event": "launch", "file": file, "parameters": parameters, "verb": verb,
             "show": show, "wait": wait}
    if copy:
        event["started"] = COPY
    return event


COPY = "a private copy"


def launches(m, events):
    """The launch events, a private copy's path checked and shown as COPY: a folder of
    its own in the runtime folder, named as the download, gone once the run ended."""
    out = []
    for e in of(events, "launch"):
        e = dict(e)
        if "started" in e:
            folder, name = os.path.split(e["started"])
            check(os.path.dirname(folder) == m.runtime and name == os.path.basename(e["file"]),
                  "started from %s" % e["started"])
            check(not os.path.exists(folder), folder + " left behind")
            e["started"] = COPY
        out.append(e)
    return out


def records(machine, who=None):
    out = [r for r in read_lines(machine.records) if r["who"] != "pkexec"]
    return [r for r in out if who is None or r["who"] == who]


def manifest(code, version, size, message="Forms are final"):
    # The first line must hold "roduct": the transfer rejects manifests without it.
    return "Product=%s\r\nYEAR=2007\r\nVERSION=%d\r\nSIZE=%d\r\nMESSAGE=%s\r\n" % (
        code, version, size, message)


UA = "TessraSWM P1 C1"


# -- a machine with an update waiting ------------------------------------------

def update_machine(m, watch_ts07=True):
    """US and CA have updates, NY is current. Returns (server, request, installers)."""
    server = m.start_server()
    us = m.installer(watch=[m.ts07] if watch_ts07 else [])
    ca = m.installer(watch=[m.ts07] if watch_ts07 else [])
    us_size = m.serve("updates/2007/win/us/100/pupd.exe", us)
    ca_size = m.serve("updates/2007/win/ca/7/upd.exe", ca)
    m.serve("updates/2007/win/us/100/ver.txt", manifest("us", 101, us_size, "Federal forms final"))
    m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 5, 1000, "Expected in February"))
    m.serve("updates/2007/win/ca/7/ver.txt", manifest("CA", 9, ca_size, "California update"))
    request = m.request_file([("us", 100), ("ny", 5), ("ca", 7)])
    installers = [os.path.join(m.cwd, "Update", "US100101pupd.exe"),
                  os.path.join(m.cwd, "Update", "CA79pupd.exe")]
    return server, request, installers


def in_check_order(requests, target=lambda r: r[1]):
    """Log entries with the manifests of each update check in one order: a check
    fetches them at once, so a server logs them in any order. Sorts each run of
    consecutive manifest requests."""
    out, run = [], []
    for r in list(requests) + [None]:
        if r is not None and target(r).endswith(".txt"):
            run.append(r)
            continue
        out += sorted(run, key=target)
        run = []
        if r is not None:
            out.append(r)
    return out


MANIFEST_REQUESTS = [
    ("GET", "/updates/2007/win/us/100/ver.txt", UA, 200),
    ("GET", "/updates/2007/win/ny/5/ver.txt", UA, 200),
    ("GET", "/updates/2007/win/ca/7/ver.txt", UA, 200),
]
INSTALLER_REQUESTS = [
    ("GET", "/updates/2007/win/us/100/pupd.exe", UA, 200),
    ("GET", "/updates/2007/win/ca/7/upd.exe", UA, 200),
]


def check_installers_ran(m, installers, ts07_marked=True):
    runs = records(m)
    installer_runs = [r for r in runs if r["who"] in ("US100101pupd.exe", "CA79pupd.exe")]
    equal([(r["who"], r["event"]) for r in installer_runs],
          [("US100101pupd.exe", "start"), ("US100101pupd.exe", "end"),
           ("CA79pupd.exe", "start"), ("CA79pupd.exe", "end")],
          "installers, one after the other")
    for r in installer_runs[::2]:
        equal(r["argv"], ["/v/passive"], "installer arguments")
        if ts07_marked:
            equal(r["watch"][m.ts07],
                  "string:ui_prop_proxy_which=none\nbool:ui_prop_tessra_updated=true\n"
                  "string:ui_prop_last_form=1040\n", "ts07.cfg when the installer starts")
    # What ran is a private copy; the download stays as it came.
    for path in installers:
        check(not os.access(path, os.X_OK), path + " made executable")


@case
def update_close_now(build):
    """Some products current: download, size check, close the tax program, mark, install, restart."""
    m = Machine(build, "close-now")
    try:
        server, request, installers = update_machine(m)
        m.write(os.path.join(m.cwd, "download.cfg"), "left by the tax program\n")
        tax_pid = m.start_tax_program()
        events = m.run([request, "/N", server], [
            "UpdatesAvailableDlg 1",
            "DLMgrDlg wait",
            "FinishedDlg 1",
        ])
        equal(flow(events), [
            "start",
            "screen UpdatesAvailableDlg", "result UpdatesAvailableDlg 1",
            "screen DLMgrDlg", "result DLMgrDlg 1",
            "screen FinishedDlg",
            "foreground", "close-request",
            "launch US100101pupd.exe", "launch CA79pupd.exe", "launch Tessra.exe",
            "result FinishedDlg 1",
            "end",
        ], "course of the run")
        equal(events[0]["argv"], [m.swm, request, "/N", server], "start argv")
        equal(of(events, "foreground"), [{"event": "foreground", "pid": tax_pid}], "foreground")
        equal(of(events, "close-request"), [{"event": "close-request", "pid": tax_pid}],
              "close request")
        equal(launches(m, events), [
            launch_event(installers[0], "\"/v/passive\"", "runas", 5, True, copy=True),
            launch_event(installers[1], "\"/v/passive\"", "runas", 5, True, copy=True),
            launch_event(m.tax, " /N %s /mru" % server, "", 5, False),
        ], "program starts")
        equal(of(events, "screen")[2]["checked"], ["1108"], "close-now way chosen by default")
        equal(in_check_order(m.requests()), in_check_order(MANIFEST_REQUESTS + INSTALLER_REQUESTS),
              "server requests")
        check_installers_ran(m, installers)
        # The tax program was closed before the first installer and started after the last.
        wait_for(lambda: any(r["event"] == "started" for r in records(m, "Tessra.exe")),
                 "the restarted tax program")
        order = [(r["who"], r["event"]) for r in records(m)]
        equal(order, [("Tessra.exe", "running"), ("Tessra.exe", "closed"),
                      ("US100101pupd.exe", "start"), ("US100101pupd.exe", "end"),
                      ("CA79pupd.exe", "start"), ("CA79pupd.exe", "end"),
                      ("Tessra.exe", "started")], "order of the programs")
        equal(records(m, "Tessra.exe")[-1]["argv"], ["/N", server, "/mru"], "restart arguments")
        check(m.tax_program_exited(), "tax program ended")
        check(not os.path.exists(os.path.join(m.cwd, "download.cfg")), "download.cfg deleted")
        for path, size in zip(installers, [os.path.getsize(os.path.join(m.www, p)) for p in (
                "updates/2007/win/us/100/pupd.exe", "updates/2007/win/ca/7/upd.exe")]):
            equal(os.path.getsize(path), size, "size of " + path)
    finally:
        m.cleanup()


@case
def update_wait_way(build):
    """The wait way: nothing closed, installers run once the user closed the tax program."""
    m = Machine(build, "wait-way")
    try:
        server, request, installers = update_machine(m)
        tax_pid = m.start_tax_program()
        proc, transcript = m.launch([request, "/N", server], [
            "UpdatesAvailableDlg 1",
            "DLMgrDlg wait",
            "FinishedDlg 1109 1",
        ])
        wait_for(lambda: any(e["event"] == "screen" and e["screen"] == "FinishedDlg"
                             for e in read_lines(transcript)), "the finished screen")
        time.sleep(1.0)
        check(proc.poll() is None, "still waiting for the tax program")
        equal([(r["who"], r["event"]) for r in records(m)], [("Tessra.exe", "running")],
              "nothing installed while the tax program runs")
        # Meanwhile the checked download is swapped for other bytes of its size:
        # what runs is still what was checked.
        genuine = m.read(installers[0])
        swapped = m.recorder('record(event="swapped")\n')
        swapped += "#" * (len(genuine) - len(swapped) - 1) + "\n"
        equal(len(swapped), len(genuine), "size of the swapped file")
        m.write(installers[0], swapped)
        os.kill(tax_pid, signal.SIGTERM)  # the user closes it
        m.stay.wait(10)
        events = m.finish(proc, transcript)
        equal(flow(events), [
            "start",
            "screen UpdatesAvailableDlg", "result UpdatesAvailableDlg 1",
            "screen DLMgrDlg", "result DLMgrDlg 1",
            "screen FinishedDlg",
            "notify",  # while the screen is hidden, waiting for the tax program
            "message Install Updates",
            "launch US100101pupd.exe", "launch CA79pupd.exe",
            "result FinishedDlg 1",
            "end",
        ], "course of the run")
        equal(of(events, "message")[0]["text"],
              "We will now install your update(s).\n\n          Click OK to continue.", "message")
        equal(launches(m, events), [
            launch_event(installers[0], "\"/v/passive\"", "runas", 5, True, copy=True),
            launch_event(installers[1], "\"/v/passive\"", "runas", 5, True, copy=True),
        ], "program starts")
        equal(in_check_order(m.requests()), in_check_order(MANIFEST_REQUESTS + INSTALLER_REQUESTS),
              "server requests")
        check_installers_ran(m, installers)
        time.sleep(0.3)
        equal([r for r in records(m, "Tessra.exe") if r["event"] == "started"], [],
              "the tax program is not started again")
    finally:
        m.cleanup()


@case
def update_wait_way_before_elevation(build):
    """Without the elevation flag: no confirmation, plain starts, the mark still first."""
    m = Machine(build, "wait-plain")
    try:
        server, request, installers = update_machine(m)
        events = m.run([request, "/N", server], [
            "UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1109 1"], elevation=False)
        equal(of(events, "message"), [], "no message")
        equal(launches(m, events), [
            launch_event(installers[0], "\"/v/passive\"", "", 5, True, copy=True),
            launch_event(installers[1], "\"/v/passive\"", "", 5, True, copy=True),
        ], "program starts")
        check_installers_ran(m, installers)
    finally:
        m.cleanup()


@case
def update_size_mismatch(build):
    """A download whose size differs from the manifest's: the failure variant, nothing installed."""
    m = Machine(build, "size")
    try:
        server, request, installers = update_machine(m)
        size = os.path.getsize(os.path.join(m.www, "updates/2007/win/ca/7/upd.exe"))
        m.serve("updates/2007/win/ca/7/ver.txt", manifest("CA", 9, size + 5, "California update"))
        tax_pid = m.start_tax_program()
        events = m.run([request, "/N", server], ["UpdatesAvailableDlg 1", "DLMgrDlg wait",
                                                 "FinishedDlg 1"])
        equal(flow(events), [
            "start", "screen UpdatesAvailableDlg", "result UpdatesAvailableDlg 1",
            "screen DLMgrDlg", "result DLMgrDlg 1", "screen FinishedDlg", "result FinishedDlg 1",
            "end"], "course of the run")
        finished = of(events, "screen")[2]
        equal(finished["texts"].get("1079"), "Update Failure", "failure heading")
        equal(finished["lists"].get("1128"), ["California"], "failed downloads")
        equal(of(events, "launch") + of(events, "close-request"), [], "nothing started or closed")
        equal([(r["who"], r["event"]) for r in records(m)], [("Tessra.exe", "running")],
              "nothing installed")
        check(not m.tax_program_exited(), "the tax program keeps running")
        equal(m.read(m.ts07).count("updated=false"), 1, "ts07.cfg untouched")
        equal(os.path.getsize(installers[1]), size, "the short download stays on disk")
    finally:
        m.cleanup()


@case
def all_current(build):
    """Every product current: the no-updates screen; with "hide" nothing at all."""
    m = Machine(build, "current")
    try:
        server = m.start_server()
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 100, 10, "Expected in January"))
        m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 4, 10, "Expected in February"))
        request = m.request_file([("us", 100), ("ny", 5)])
        events = m.run([request, "/N", server], ["NoUpdatesAvailDlg 2"])
        equal(flow(events), ["start", "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2",
                             "end"], "course of the run")
        texts = of(events, "screen")[0]["texts"]
        equal(texts.get("1027"), "All Programs Current", "heading")
        lines = of(events, "screen")[0]["lists"]["1026"]
        check(any("Federal" in l and "Expected in January" in l for l in lines), "Federal listed")
        check(any("New York" in l and "Expected in February" in l for l in lines), "NY listed")
        manifests = [("GET", "/updates/2007/win/us/100/ver.txt", UA, 200),
                     ("GET", "/updates/2007/win/ny/5/ver.txt", UA, 200)]
        equal(in_check_order(m.requests()), in_check_order(manifests), "server requests")

        # The silent check: "/hide" with an alert form; version 1000 is no alert.
        m.serve("alert/2007/win/alert/alert.txt", manifest("ALERT", 1000, 0, "No alert"))
        events = m.run(["/alert", "/hide", request, "/N", server], [])
        equal(flow(events), ["start", "result NoUpdatesAvailDlg 2", "end"], "hidden run")
        alert = ("GET", "/alert/2007/win/alert/alert.txt", "TessraSWM ALRT 411411", 200)
        requests = m.requests()
        equal([in_check_order(requests[:2]), requests[2], in_check_order(requests[3:])],
              [in_check_order(manifests), alert, in_check_order(manifests)], "server requests")
        equal(records(m), [], "nothing started")
        equal(m.read(m.ts07).count("updated=false"), 1, "ts07.cfg untouched")
    finally:
        m.cleanup()


class Gate:
    """Stands between the program and the server: the first connection gets a
    refusal, every later one goes through, as when a network comes back."""

    def __init__(self, port):
        self.port = port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.refused = []
        self.connections = 0
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            if self.connections == 1:
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = client.recv(4096)
                    if not chunk:
                        break
                    head += chunk
                self.refused.append(head.split(b"\r\n")[0].decode())
                client.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                               b"Connection: close\r\n\r\n")
                client.close()
                continue
            upstream = socket.create_connection(("127.0.0.1", self.port))
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def pipe(source, target):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        finally:
            try:
                target.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def close(self):
        self.listener.close()


@case
def failed_check_try_again(build):
    """The check fails, the cannot-connect screen's Try Again succeeds, the run goes on."""
    m = Machine(build, "try-again")
    try:
        m.start_server()
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 100, 10, "Expected soon"))
        request = m.request_file([("us", 100)])
        gate = Gate(m.port)
        events = m.run([request, "/N", gate.address], ["NoNetworkDlg 1", "NoUpdatesAvailDlg 2"])
        gate.close()
        equal(flow(events), ["start", "screen NoNetworkDlg", "result NoNetworkDlg 1",
                             "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2", "end"],
              "course of the run")
        equal(gate.refused, ["GET /updates/2007/win/us/100/ver.txt HTTP/1.1"], "refused request")
        equal(m.requests(), [("GET", "/updates/2007/win/us/100/ver.txt", UA, 200)],
              "the Try Again request")
    finally:
        m.cleanup()


@case
def cancel_selection_screens(build):
    """Cancel confirmed on the updates-available and all-updates screens; Resume keeps going."""
    m = Machine(build, "cancel-select")
    try:
        server, request, installers = update_machine(m)
        events = m.run([request, "/N", server], ["UpdatesAvailableDlg 2", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen UpdatesAvailableDlg", "screen ResumeCancelDlg",
                             "result ResumeCancelDlg 2", "result UpdatesAvailableDlg 2", "end"],
              "cancel on updates available")
        texts = of(events, "screen")[1]["texts"]
        check(texts.get("1118", "").startswith("Update has not been completed."), "update message")

        # Resume first, then Cancel for real.
        events = m.run([request, "/N", server], ["UpdatesAvailableDlg 2 2",
                                                 "ResumeCancelDlg 1", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen UpdatesAvailableDlg",
                             "screen ResumeCancelDlg", "result ResumeCancelDlg 1",
                             "screen ResumeCancelDlg", "result ResumeCancelDlg 2",
                             "result UpdatesAvailableDlg 2", "end"], "resume, then cancel")

        # Every product with an update: the all-updates screen.
        m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 6, 10, "New York update"))
        events = m.run([request, "/N", server], ["AllUpdsAvailDlg 2", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen AllUpdsAvailDlg", "screen ResumeCancelDlg",
                             "result ResumeCancelDlg 2", "result AllUpdsAvailDlg 2", "end"],
              "cancel on all updates")
        requests = m.requests()
        equal([in_check_order(requests[i:i + 3]) for i in (0, 3, 6)] + [requests[9:]],
              [in_check_order(MANIFEST_REQUESTS)] * 3 + [[]], "only the manifests were fetched")
        equal(records(m), [], "nothing started")
    finally:
        m.cleanup()


@case
def cancel_finished_screen(build):
    """Cancel confirmed on the finished screen: nothing installed, nothing marked."""
    m = Machine(build, "cancel-finished")
    try:
        server, request, installers = update_machine(m)
        events = m.run([request, "/N", server], ["UpdatesAvailableDlg 1", "DLMgrDlg wait",
                                                 "FinishedDlg 2", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen UpdatesAvailableDlg", "result UpdatesAvailableDlg 1",
                             "screen DLMgrDlg", "result DLMgrDlg 1", "screen FinishedDlg",
                             "screen ResumeCancelDlg", "result ResumeCancelDlg 2",
                             "result FinishedDlg 2", "end"], "course of the run")
        equal(records(m), [], "nothing started")
        equal(m.read(m.ts07).count("updated=false"), 1, "ts07.cfg untouched")
        equal(in_check_order(m.requests()), in_check_order(MANIFEST_REQUESTS + INSTALLER_REQUESTS),
              "server requests")
    finally:
        m.cleanup()


@case
def cancel_welcome_and_cannot_connect(build):
    """Cancel confirmed on the alert's welcome screen and on the cannot-connect screen."""
    m = Machine(build, "cancel-welcome")
    try:
        server = m.start_server()
        m.serve("alert/2007/win/alert/alert.txt", manifest("ALERT", 7, 0, "Check your forms"))
        request = m.request_file([("us", 100)])
        events = m.run(["/alert", request, "/N", server], ["WelcomeDlg 2", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen WelcomeDlg", "screen ResumeCancelDlg",
                             "result ResumeCancelDlg 2", "result WelcomeDlg 2", "end"],
              "cancel on welcome")
        equal(m.requests(), [], "nothing fetched")

        gate = Gate(m.port)
        events = m.run([request, "/N", gate.address], ["NoNetworkDlg 2", "ResumeCancelDlg 2"])
        gate.close()
        equal(flow(events), ["start", "screen NoNetworkDlg", "screen ResumeCancelDlg",
                             "result ResumeCancelDlg 2", "result NoNetworkDlg 2", "end"],
              "cancel on cannot connect")
        equal(records(m), [], "nothing started")
    finally:
        m.cleanup()


@case
def alert_mode(build):
    """The alert with and without "hide", "do not show again" on the next run, version 1000."""
    m = Machine(build, "alert")
    try:
        server = m.start_server()
        m.serve("alert/2007/win/alert/alert.txt", manifest("ALERT", 7, 0, "Check your W-2 forms"))
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 100, 10, "Expected soon"))
        request = m.request_file([("us", 100)])
        alert_request = ("GET", "/alert/2007/win/alert/alert.txt", "TessraSWM ALRT 411411", 200)
        update_request = ("GET", "/updates/2007/win/us/100/ver.txt", UA, 200)

        events = m.run(["/alert", request, "/N", server],
                       ["WelcomeDlg 1", "NoUpdatesAvailDlg 1132 2", "NoUpdatesAvailDlg 2"])
        equal(flow(events), ["start", "screen WelcomeDlg", "result WelcomeDlg 1",
                             "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2",
                             "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2", "end"],
              "first run")
        alert = of(events, "screen")[1]
        equal(alert["texts"].get("1130"), "Tessra Alert", "alert heading")
        check(any("Check your W-2 forms" in l for l in alert["lists"]["1026"]), "alert message")
        equal(of(events, "result")[1]["texts"].get("1132"),
              "Do not show me this particular alert again", "check box")
        equal(m.read(os.path.join(m.data, "alert.cfg")),
              "prom=ALRT\r\ncamp=411411\r\nedition=premium\r\nyear=2007\r\nproduct=alert\r\n"
              "ver=alert.txt\r\noutput=%s/Tessra/2007/alert.txt\r\nfile-bytes=0\r\n"
              "installed-ver=1000\r\n" % m.appdata, "alert.cfg")
        equal(m.read(os.path.join(m.data, "swmgr.cfg")), "currver=7\r\nshow=false\r\n", "swmgr.cfg")
        # The welcome screen checks behind Next, and the flow checks again.
        equal(m.requests(), [alert_request, alert_request, update_request], "server requests")

        # Next run: the same alert is not shown again.
        events = m.run(["/alert", request, "/N", server], ["WelcomeDlg 1", "NoUpdatesAvailDlg 2"])
        equal(flow(events), ["start", "screen WelcomeDlg", "result WelcomeDlg 1",
                             "result NoUpdatesAvailDlg 2",
                             "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2", "end"],
              "the declined alert stays hidden")

        # A new alert with "hide": no welcome, the alert shows, no no-updates screen.
        m.serve("alert/2007/win/alert/alert.txt", manifest("ALERT", 8, 0, "New alert"))
        events = m.run(["/alert", "/hide", request, "/N", server], ["NoUpdatesAvailDlg 2"])
        equal(flow(events), ["start", "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2",
                             "end"], "hidden alert run")

        # Version 1000 means there is no alert.
        m.serve("alert/2007/win/alert/alert.txt", manifest("ALERT", 1000, 0, "No alert"))
        events = m.run(["/alert", "/hide", request, "/N", server], [])
        equal(flow(events), ["start", "result NoUpdatesAvailDlg 2", "end"], "no alert")
        equal(m.requests()[3:], [alert_request, alert_request, update_request,
                                 alert_request, update_request,
                                 alert_request, update_request], "later requests")
    finally:
        m.cleanup()


def purchase_machine(m):
    server = m.start_server()
    cfg = os.path.join(m.common, "Tessra", "2007", "purchase.cfg")
    size = m.serve("states/TessraCA.exe", m.installer(watch=[cfg]))
    m.serve("states/ver.txt", manifest("CA", 200, size, "California"))
    address = "http://%s/states/TessraCA.exe" % server
    return server, address, cfg


PURCHASE_CFG = ("prom=STTE\r\ncamp=888888\r\nedition=premium\r\nyear=2007\r\nproduct=ca\r\n"
                "ver=ver.txt\r\noutput=%s/Tessra/2007/Downloads/ver.txt\r\nfile-bytes=0\r\n"
                "installed-ver=0100\r\n")


@case
def purchase_mode(build):
    """Waits for the tax program, downloads the state, confirms, installs, restarts."""
    m = Machine(build, "purchase")
    try:
        server, address, cfg = purchase_machine(m)
        m.start_tax_program()
        proc, transcript = m.launch([address, "/purchase"], ["DLMgrDlg wait"])
        time.sleep(1.0)
        check(proc.poll() is None, "waiting for the tax program")
        equal(m.requests(), [], "nothing fetched while the tax program runs")
        check(not os.path.exists(cfg), "purchase.cfg not yet written")
        m.stay.terminate()  # the user closes the tax program
        m.stay.wait(10)
        events = m.finish(proc, transcript)
        installer = os.path.join(m.downloads, "TessraCA.exe")
        equal(flow(events), ["start", "notify", "screen DLMgrDlg", "result DLMgrDlg 1",
                             "message State Download Complete", "launch TessraCA.exe",
                             "launch Tessra.exe", "end"], "course of the run")
        equal(of(events, "message")[0]["text"],
              "Your State Download is complete.\n\n                Click OK to install.", "message")
        equal(launches(m, events), [
            launch_event(installer, " /v\"RUN=/G\"", "runas", 1, True, copy=True),
            launch_event(m.tax, " /mru", "", 5, False)], "program starts")
        ua = "TessraSWM STTE 888888"
        # The progress screen of a purchase has empty prom and camp texts; the
        # header's trailing blanks do not survive HTTP.
        equal(m.requests(), [("GET", "/states/ver.txt", ua, 200),
                             ("GET", "/states/TessraCA.exe", "TessraSWM", 200)], "server requests")
        wait_for(lambda: any(r["event"] == "started" for r in records(m, "Tessra.exe")),
                 "the restarted tax program")
        runs = records(m)
        equal([(r["who"], r["event"]) for r in runs],
              [("Tessra.exe", "running"), ("Tessra.exe", "closed"), ("TessraCA.exe", "start"),
               ("TessraCA.exe", "end"), ("Tessra.exe", "started")], "order of the programs")
        equal(runs[2]["argv"], ["/vRUN=/G"], "installer arguments")
        equal(runs[2]["watch"][cfg], PURCHASE_CFG % m.common, "purchase.cfg while installing")
        equal(runs[4]["argv"], ["/mru"], "restart arguments")
        check(not os.path.exists(cfg), "purchase.cfg deleted")

        # Without the elevation flag: no confirmation, shown with 5. The
        # complete download is not fetched again.
        events = m.run([address], ["DLMgrDlg wait"], elevation=False)
        equal(flow(events), ["start", "screen DLMgrDlg", "result DLMgrDlg 1",
                             "launch TessraCA.exe", "launch Tessra.exe", "end"], "second run")
        equal(launches(m, events)[0],
              launch_event(installer, " /v\"RUN=/G\"", "", 5, True, copy=True),
              "installer start")
        equal(m.requests()[2:], [("GET", "/states/ver.txt", ua, 200)], "second run requests")
    finally:
        m.cleanup()


@case
def purchase_bad_address(build):
    """An address that names no file ends the run with a message and touches nothing."""
    m = Machine(build, "purchase-bad")
    try:
        server = m.start_server()
        for address in ("http://%s/states/" % server, "http://%s/states/.." % server):
            events = m.run([address, "/purchase"], [])
            equal(flow(events), ["start", "message Software Manager Error", "end"], address)
        equal(os.listdir(os.path.join(m.common, "Tessra", "2007")), ["Downloads"], "no file")
        equal(os.listdir(m.downloads), [], "nothing downloaded")
        equal(m.requests(), [], "nothing fetched")
    finally:
        m.cleanup()


@case
def reinstall_mode(build):
    """-reinstall CA NY: uninstall CA, NY, install CA, NY, restart; a missing code file stops."""
    m = Machine(build, "reinstall")
    try:
        state = os.path.join(m.common, "Tessra", "2007")
        m.write(os.path.join(state, "CA.txt"), "{CA-0001}\r\n")
        m.write(os.path.join(state, "NY.txt"), "{NY-0002}\n")
        for code in ("CA", "NY"):
            m.write(os.path.join(m.downloads, "Tessra%s.exe" % code), m.installer(), mode=0o644)
        events = m.run(["-reinstall", "CA", "NY"], [])
        ca = os.path.join(m.downloads, "TessraCA.exe")
        ny = os.path.join(m.downloads, "TessraNY.exe")
        equal(of(events, "launch"), [
            launch_event("msiexec.exe", "/x{CA-0001} /passive", "runas", 5, True),
            launch_event("msiexec.exe", "/x{NY-0002} /passive", "runas", 5, True),
            launch_event(ca, "/v\"RUN=/G\"", "runas", 5, True),
            launch_event(ny, "/v\"RUN=/G\"", "runas", 5, True),
            launch_event(m.tax, " /mru", "", 5, False)], "program starts")
        equal(flow(events), ["start"] + ["launch msiexec.exe"] * 2 +
              ["launch TessraCA.exe", "launch TessraNY.exe", "launch Tessra.exe", "end"], "course")
        wait_for(lambda: records(m, "Tessra.exe"), "the restarted tax program")
        equal([(r["who"], r["event"], r.get("argv")) for r in records(m)], [
            ("msiexec.exe", "start", ["/x{CA-0001}", "/passive"]), ("msiexec.exe", "end", None),
            ("msiexec.exe", "start", ["/x{NY-0002}", "/passive"]), ("msiexec.exe", "end", None),
            ("TessraCA.exe", "start", ["/vRUN=/G"]), ("TessraCA.exe", "end", None),
            ("TessraNY.exe", "start", ["/vRUN=/G"]), ("TessraNY.exe", "end", None),
            ("Tessra.exe", "started", ["/mru"])], "programs in order")

        # NY has lost its product-code file: CA stays uninstalled, nothing else runs.
        os.remove(os.path.join(state, "NY.txt"))
        os.remove(m.records)
        events = m.run(["-reinstall", "CA", "NY"], [])
        equal(flow(events), ["start", "launch msiexec.exe", "file-problem", "message Error", "end"],
              "stopped")
        equal(of(events, "message")[0]["text"], "There was a problem reinstalling your state.",
              "message")
        time.sleep(0.3)
        equal([(r["who"], r["event"]) for r in records(m)],
              [("msiexec.exe", "start"), ("msiexec.exe", "end")], "only CA uninstalled")
    finally:
        m.cleanup()


@case
def second_copy(build):
    """A second copy is refused while the first runs; the first goes on. Without a
    runtime folder the lock is in the user's own state folder, never in /tmp."""
    for runtime in (True, False):
        second_copy_once(build, runtime)


def second_copy_once(build, runtime):
    m = Machine(build, "second")
    try:
        if not runtime:
            m.environment["XDG_RUNTIME_DIR"] = None
        server, address, cfg = purchase_machine(m)
        m.start_tax_program()
        first, first_transcript = m.launch([address, "/purchase"], ["DLMgrDlg wait"])
        # It holds the lock once it waits for the tax program (and says so).
        wait_for(lambda: any(e["event"] == "notify" for e in read_lines(first_transcript)),
                 "the first copy to wait for Tessra")
        events = m.run([m.request_file([("us", 100)]), "/N", server], [])
        equal(flow(events), ["start", "message Software Manager Error", "end"], "second copy")
        equal(of(events, "message")[0]["text"],
              "Please wait for all downloads to finish before updating or downloading a state.",
              "message")
        equal(m.requests(), [], "the second copy fetched nothing")
        check(first.poll() is None, "the first copy still waits")
        m.stay.terminate()
        m.stay.wait(10)
        events = m.finish(first, first_transcript)
        equal(flow(events)[-3:], ["launch TessraCA.exe", "launch Tessra.exe", "end"],
              "the first copy went on")
        folder = m.runtime if runtime else os.path.join(m.root, "home", ".local", "state",
                                                        "tessra-swm")
        check(os.path.isfile(os.path.join(folder, "Tessra Software Manager.lock")),
              "the lock in " + folder)
        if not runtime:
            equal(stat.S_IMODE(os.lstat(folder).st_mode), 0o700, "mode of " + folder)
    finally:
        m.cleanup()


@case
def empty_command_line(build):
    """No arguments: the "required file" message, and nothing written."""
    m = Machine(build, "empty")
    try:
        events = m.run([], [])
        equal(events[0], {"event": "start", "argv": [m.swm], "commandLine": m.swm}, "start")
        equal(flow(events), ["start", "file-problem", "message Software Manager Error", "end"],
              "course")
        equal(of(events, "message")[0]["text"],
              "The Software Manager could not find a required file\nand will now exit.", "text")
        equal(events[-1], {"event": "end", "status": 0}, "end")
        equal(sorted(os.listdir(m.data)), ["ts07.cfg"], "nothing written")
    finally:
        m.cleanup()


# -- benchmark -----------------------------------------------------------------

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bench_wait(build, seconds):
    """CPU time of tessra-swm while it waits for the tax program (the wait way)."""
    m = Machine(build, "bench")
    try:
        server, request, installers = update_machine(m, watch_ts07=False)
        tax_pid = m.start_tax_program()
        proc, transcript = m.launch([request, "/N", server],
                                    ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1109 1"])
        wait_for(lambda: any(e["event"] == "screen" and e["screen"] == "FinishedDlg"
                             for e in read_lines(transcript)), "the finished screen")
        time.sleep(0.5)  # the OK and the start of the wait
        before = cpu_seconds(proc.pid)
        time.sleep(seconds)
        waited = cpu_seconds(proc.pid) - before
        # For comparison: searching again and again without pause, while the
        # tax program still runs.
        loop = subprocess.run([os.path.join(build, "bin", "e2e-search-loop"), str(seconds)],
                              capture_output=True, text=True, check=True)
        os.kill(tax_pid, signal.SIGTERM)
        m.stay.wait(10)
        m.finish(proc, transcript)
        busy = float(loop.stdout.split()[0])
        passes = int(loop.stdout.split()[1])
        print("wait for the tax program to close, %g s of waiting:" % seconds)
        print("  tessra-swm (blocks on the process):  %.3f s CPU (%.1f%% of a core)"
              % (waited, 100.0 * waited / seconds))
        print("  search without pause (%d passes):  %.3f s CPU (%.1f%% of a core)"
              % (passes, busy, 100.0 * busy / seconds))
    finally:
        m.cleanup()


def main(cases=None):
    """Runs a case of CASES (another e2e*.py file registers its own with @case first)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--bench-wait", type=float)
    parser.add_argument("case", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(sorted(cases if cases is not None else CASES)))
        return 0
    if args.bench_wait:
        bench_wait(args.build, args.bench_wait)
        return 0
    if args.case not in CASES:
        print("unknown case %r" % args.case)
        return 2
    started = time.monotonic()
    try:
        CASES[args.case](args.build)
    except Failure as failure:
        print("FAILED %s: %s" % (args.case, failure))
        return 1
    print("passed %s (%.1f s)" % (args.case, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
