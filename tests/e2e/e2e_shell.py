#!/usr/bin/env python3
"""Whole runs of tessra-swm as a desktop program: without a display, --help and
--version, the support log, and the desktop notification while it waits."""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import Machine, check, equal, flow, of, read_lines, wait_for  # noqa: E402

MINE = {}


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\{.*\})$")


def run(m, args, autopilot=None, **extra):
    """Runs the program to its end; returns (process result, transcript events).
    autopilot None: no autopilot at all. Extra variables: None removes one."""
    m.runs += 1
    pilot = ""
    if autopilot is not None:
        pilot = os.path.join(m.root, "autopilot-%d.txt" % m.runs)
        m.write(pilot, "".join(step + "\n" for step in autopilot))
    transcript = os.path.join(m.root, "transcript-%d.jsonl" % m.runs)
    env = m.env(True, pilot, transcript)
    for name, value in extra.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    done = subprocess.run([m.swm] + list(args), cwd=m.cwd, env=env, capture_output=True,
                          text=True, timeout=60)
    return done, read_lines(transcript)


def log_events(path):
    """The events of a support log; every line must carry its timestamp."""
    events = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            match = STAMP.match(line.rstrip("\n"))
            check(match, "support log line without a timestamp: %r" % line)
            events.append(e2e.json.loads(match.group(1)))
    return events


@case
def no_display_help_and_version(build):
    """Without a display: one line and status 1; --help and --version need none."""
    m = Machine(build, "nodisplay")
    try:
        log = os.path.join(m.root, "home", ".local", "state", "tessra-swm", "swm.log")
        for args, display in (([], None), (["/h/req.cfg", "/N", "host"], None),
                              (["--help", "more"], None), (["/h/req.cfg"], ":7531")):
            done, events = run(m, args, DISPLAY=display)
            shown = "%r with DISPLAY=%r" % (args, display)
            equal(done.returncode, 1, "status " + shown)
            lines = done.stderr.splitlines()
            equal(len(lines), 1, "stderr lines %s: %r" % (shown, done.stderr))
            check("needs a graphical session" in lines[0] and log in lines[0],
                  "no-display line %s: %r" % (shown, lines[0]))
            equal(done.stdout, "", "stdout " + shown)
            equal(flow(events), ["start", "no-display", "end"], "transcript " + shown)
            equal(events[-1]["status"], 1, "end status " + shown)
        equal([e["event"] for e in log_events(log)], ["start", "no-display", "end"] * 4,
              "support log")

        os.remove(log)
        inspect = os.path.join(build, "bin", "tessra-swm-inspect")
        for program, name in ((m.swm, "tessra-swm"), (inspect, "tessra-swm-inspect")):
            help_run = subprocess.run([program, "--help"], capture_output=True, text=True,
                                      env=m.env(True, "", ""), timeout=30)
            equal((help_run.returncode, help_run.stderr), (0, ""), name + " --help")
            check(help_run.stdout.startswith("usage: " + name + " "), name + " --help text")
            version = subprocess.run([program, "--version"], capture_output=True, text=True,
                                     env=m.env(True, "", ""), timeout=30)
            equal((version.returncode, version.stderr), (0, ""), name + " --version")
            check(re.fullmatch(re.escape(name) + r" \d+\.\d+\.\d+\n", version.stdout),
                  name + " --version text: %r" % version.stdout)
        check(not os.path.exists(log), "--help and --version took no request path")
        done = subprocess.run([inspect, "--bogus"], capture_output=True, text=True, timeout=30)
        check(done.returncode != 0 and done.stdout == "" and "--bogus" in done.stderr,
              "usage error of tessra-swm-inspect: %r" % (done,))
    finally:
        m.cleanup()


@case
def support_log_of_every_run(build):
    """Each run's events go to the support log; failed runs point to it and name the file."""
    m = Machine(build, "supportlog")
    try:
        state = os.path.join(m.root, "state")
        log = os.path.join(state, "tessra-swm", "swm.log")
        # No argument: the "required file" message, with no file to name.
        done, first = run(m, [], [], XDG_STATE_HOME=state)
        equal(flow(first), ["start", "file-problem", "message Software Manager Error", "end"],
              "run without arguments")
        equal(done.stderr.splitlines(), [
            "tessra-swm: no request file named on the command line",
            "tessra-swm: the run ended with a problem; see " + log], "stderr")
        equal(log_events(log), first, "the log holds the transcript's lines")
        equal(os.stat(os.path.dirname(log)).st_mode & 0o777, 0o700, "log folder mode")

        # A request file that is not there is named.
        missing = os.path.join(m.data, "gone.cfg")
        done, second = run(m, [missing, "/N", "127.0.0.1:9"], [], XDG_STATE_HOME=state)
        equal(of(second, "file-problem"), [{
            "event": "file-problem", "file": missing,
            "problem": "cannot read the settings file: No such file or directory"}],
            "the missing file")
        check(missing in done.stderr.splitlines()[0], "stderr names it: %r" % done.stderr)
        equal(log_events(log), first + second, "appended")

        # A run that ends well says nothing; the log still has it.
        m.start_server()
        done, third = run(m, [m.request_file([]), "/N", "127.0.0.1:%d" % m.port],
                          ["AllUpdsAvailDlg 1"], XDG_STATE_HOME=state)
        equal((done.returncode, done.stderr), (0, ""), "a good run")
        equal(log_events(log), first + second + third, "appended again")

        # Near the limit the log moves to swm.log.1 first.
        old = "x" * 99 + "\n"
        m.write(log, old * (1048576 // len(old)))
        done, fourth = run(m, [], [], XDG_STATE_HOME=state)
        equal(m.read(log + ".1"), old * (1048576 // len(old)), "the rotated log")
        equal(log_events(log), fourth, "a fresh log")

        # Off: nothing written, and the failure says so.
        off = os.path.join(m.root, "off")
        done, _ = run(m, [], [], XDG_STATE_HOME=off, TESSRA_SWM_LOG="0")
        check(not os.path.exists(off), "no log folder when off")
        check("support log is off" in done.stderr, "stderr when off: %r" % done.stderr)
    finally:
        m.cleanup()


NOTICE = ("Please close Tessra to download and install your state. The Software Manager "
          "goes on as soon as Tessra has closed.")

NOTIFY_BUS = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%s</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


@case
def wait_is_told_by_notification(build):
    """The purchase waiting for Tessra to close says so once on the desktop's session bus."""
    m = Machine(build, "notify")
    bus = monitor = None
    try:
        config = os.path.join(m.root, "bus.conf")
        m.write(config, NOTIFY_BUS % m.root)
        bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--print-address",
                                "--nofork"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        address = bus.stdout.readline().strip()
        check(address.startswith("unix:"), "private session bus: %r" % address)
        calls = os.path.join(m.root, "monitor.txt")
        with open(calls, "w") as out:
            monitor = subprocess.Popen(["dbus-monitor", "--address", address,
                                        "interface='org.freedesktop.Notifications'"],
                                       stdout=out, stderr=subprocess.DEVNULL)
        # The monitor is listening once the bus has told it its name.
        wait_for(lambda: "NameAcquired" in m.read(calls) or "NameLost" in m.read(calls),
                 "dbus-monitor to listen")

        server, address_of_state, _ = e2e.purchase_machine(m)
        m.start_tax_program()
        m.runs += 1
        pilot = os.path.join(m.root, "autopilot.txt")
        m.write(pilot, "DLMgrDlg wait\n")
        transcript = os.path.join(m.root, "transcript.jsonl")
        env = m.env(True, pilot, transcript)
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        proc = subprocess.Popen([m.swm, address_of_state, "/purchase"], cwd=m.cwd, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wait_for(lambda: of(read_lines(transcript), "notify"), "the notification")
        wait_for(lambda: "Notify" in m.read(calls), "the Notify call on the bus")
        time.sleep(0.3)
        check(proc.poll() is None, "still waiting for the tax program")
        m.stay.terminate()  # the user closes the tax program
        m.stay.wait(10)
        events = m.finish(proc, transcript)
        equal(flow(events)[:3], ["start", "notify", "screen DLMgrDlg"], "course of the run")
        equal(of(events, "notify"), [{"event": "notify", "text": NOTICE}], "told once")
        seen = m.read(calls)
        for text in ('member=Notify', 'string "Tessra Software Manager"', 'string "tessra-swm"',
                     'string "desktop-entry"', 'string "%s"' % NOTICE):
            check(text in seen, "%s in the Notify call:\n%s" % (text, seen))
        equal(seen.count("member=Notify"), 1, "one Notify call")
    finally:
        for p in (monitor, bus):
            if p and p.poll() is None:
                p.terminate()
                p.wait(5)
        m.cleanup()


if __name__ == "__main__":
    sys.exit(e2e.main(MINE))
