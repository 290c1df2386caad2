#!/usr/bin/env python3
"""The Software Manager's demo (`make demo`).

    demo.py BUILD_DIR [--tour | --interactive] [--out DIR] [--swm PROGRAM]

Lays out a demo home under BUILD_DIR/demo (make_demo_tree.py; its manifests
and alert signed with a demo key by tessra-publish, which the demo's runs
require through TESSRA_SWM_UPDATE_KEY), starts
tessra-update-server on a free port of 127.0.0.1 and then:

- with a display that answers (and a terminal): starts Tessra.exe, the demo
  tax program, for the user to click through; the demo ends when Tessra and
  the Software Manager have ended (or on Ctrl-C);
- otherwise: a scripted tour under the autopilot, on Qt's offscreen platform
  (or on the display, when there is one): an update with downloads,
  installation and the restart of Tessra, an alert, the purchase of a state
  and a reinstall. Each screen's heading and each outcome are printed, a
  screenshot of each screen is left under BUILD_DIR/demo/screens/, and the
  outcomes are checked: the exit status is 0 only when all came out right.

TESSRA_DEMO=tour or TESSRA_DEMO=interactive chooses the mode instead, and
TESSRA_SWM=PROGRAM (or --swm) runs another tessra-swm, such as an installed
/usr/bin/tessra-swm.
"""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_demo_tree  # noqa: E402

SCENE_TIMEOUT = 120  # seconds; the whole tour takes well under a minute

# Control ids of each screen's heading, first visible one wins.
HEADINGS = {
    "WelcomeDlg": ["1035"],
    "UpdatesAvailableDlg": ["1027"],
    "AllUpdsAvailDlg": ["1057"],
    "NoUpdatesAvailDlg": ["1130", "1027"],
    "DLMgrDlg": ["1027", "1127"],
    "FinishedDlg": ["1077", "1079"],
    "NoNetworkDlg": ["1027"],
    "ConnIssueDlg": ["1149"],
    "ResumeCancelDlg": ["1118", "1129"],
}
# Lists worth showing, by screen.
LISTS = {
    "UpdatesAvailableDlg": [("1082", "updates"), ("1083", "up to date")],
    "AllUpdsAvailDlg": [("1055", "updates")],
    "NoUpdatesAvailDlg": [("1026", "")],
    "FinishedDlg": [("1129", "downloaded"), ("1128", "failed")],
}
RESULTS = {1: "OK", 2: "Cancel/Close", 4: "its own check failed"}
BUTTONS = {"update": "Check for Updates", "alert": "Check for Alerts", "buy": "Buy a State",
           "reinstall": "Reinstall States"}


class DemoFailure(Exception):
    pass


# ---------------------------------------------------------------------------
# Small helpers


def say(text=""):
    print(text, flush=True)


def display_answers():
    """True when $DISPLAY names an X server that accepts a connection."""
    name = os.environ.get("DISPLAY", "")
    if ":" not in name:
        return False
    host, _, rest = name.rpartition(":")
    try:
        number = int(rest.split(".")[0])
    except ValueError:
        return False
    try:
        if host in ("", "unix"):
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(2)
                try:
                    s.connect(f"/tmp/.X11-unix/X{number}")
                except OSError:
                    s.connect(f"\0/tmp/.X11-unix/X{number}")
        else:
            with socket.create_connection((host, 6000 + number), timeout=2):
                pass
        return True
    except OSError:
        return False


class JsonLines:
    """Reads the JSON lines appended to a file since the last call."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = b""

    def new(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return []
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        events = []
        for line in lines:
            if line.strip():
                try:
                    events.append(json.loads(line))
                except ValueError:
                    events.append({"event": "unreadable", "line": line.decode(errors="replace")})
        return events


def pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rpartition(")")[2].split()[0]
        return state not in ("Z", "X")
    except (OSError, IndexError):
        return False


def processes_running(programs):
    """Pids of running processes whose executable is one of `programs`."""
    wanted = {os.path.realpath(p) for p in programs}
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink(f"/proc/{entry}/exe")
        except OSError:
            continue
        if exe in wanted and pid_alive(int(entry)):
            found.append(int(entry))
    return found


def tax_programs_running(exclude=()):
    """Processes the Software Manager takes for the tax program: "Tessra.exe"
    as the kernel's command name or argv[0]'s last part, in any case."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in exclude or not pid_alive(int(entry)):
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                comm = f.read().strip()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if "tessra.exe" in (comm.lower(), os.path.basename(argv0).lower()):
            found.append((int(entry), argv0))
    return found


class UpdateServer:
    def __init__(self, program, root, log, throttle=None):
        args = [program, "--root", root, "--bind", "127.0.0.1", "--port", "0", "--log", log]
        if throttle:
            args += ["--throttle", str(throttle)]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = b""
        deadline = time.monotonic() + 15
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 1)
                if not chunk:
                    break
                line += chunk
        text = line.decode(errors="replace").strip()
        if not text.startswith("listening on "):
            self.stop()
            raise DemoFailure(f"tessra-update-server did not start: {text or 'no answer'}")
        self.port = int(text.split()[-1])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# ---------------------------------------------------------------------------
# The tour


class Tour:
    def __init__(self, demo, tree, tessra, swm, server, env, log):
        self.demo = demo
        self.tree = tree
        self.tessra = tessra
        self.swm = swm
        self.server = server
        self.env = env
        self.log = log
        self.report = JsonLines(env["TESSRA_DEMO_REPORT"])
        self.failures = []
        self.screens = []  # (scene number, screen class, transcript event)
        self.restart_possible = os.path.exists(os.path.join(os.path.dirname(swm), "Tessra.exe"))

    def short(self, text):
        return str(text).replace(self.demo + "/", "").replace(self.demo, ".")

    def check(self, ok, what):
        say(f"    {'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            self.failures.append(what)

    def state(self):
        state = {}
        with open(self.tree["stateFile"]) as f:
            for line in f:
                key, eq, value = line.strip().partition("=")
                if eq and key.isupper():
                    state[key] = value
        return state

    def print_event(self, scene, event):
        kind = event.get("event")
        if kind == "start":
            say(f"  tessra-swm {self.short(' '.join(event.get('argv', [])[1:]))}")
        elif kind == "screen":
            name = event.get("screen", "?")
            texts = event.get("texts", {})
            heading = next((texts[i] for i in HEADINGS.get(name, []) if i in texts), "")
            say(f"  screen  {name}: \"{' '.join(heading.split())}\"")
            if "1130" in texts:  # the alert: its message
                lines = event.get("lists", {}).get("1026", [])
                message = " ".join(" ".join(line.split("\t")[1:]).strip() for line in lines)
                say(f"          \"{' '.join(message.split())}\"")
                texts = {}
            for control, caption in LISTS.get(name, []) if texts else []:
                lines = event.get("lists", {}).get(control)
                if lines:
                    names = [" ".join(line.split("\t")[0].split()) for line in lines
                             if line.strip() and not line.startswith("\t")]
                    label = f"{caption}: " if caption else ""
                    say(f"          {label}{', '.join(names)}")
            self.screens.append((scene, name, event))
        elif kind == "result":
            result = event.get("result")
            say(f"  result  {event.get('screen')} -> {result} ({RESULTS.get(result, '?')})")
        elif kind == "message":
            text = " ".join(str(event.get("text", "")).split())
            say(f"  message \"{event.get('title')}\": {text}")
        elif kind == "launch":
            what = "run and wait" if event.get("wait") else "start"
            verb = f" [{event['verb']}]" if event.get("verb") else ""
            say(f"  {what}{verb}: {self.short(event.get('file'))} {event.get('parameters', '')}")
        elif kind == "delta":
            full = next((p["size"] for p in self.tree["products"]
                         if p["code"] == event.get("product")), 0)
            fetched = event.get("patchBytes", 0)
            if event.get("outcome") == "applied":
                say(f"  delta   {event.get('product')}: a patch of {fetched} bytes against "
                    f"{self.short(event.get('base'))} instead of the whole {full} bytes "
                    f"({full - fetched} bytes saved)")
            else:
                say(f"  delta   {event.get('product')}: the whole installer ({event.get('cause')})")
        elif kind == "close-request":
            say(f"  close request to Tessra.exe (pid {event.get('pid')})")
        elif kind == "foreground":
            say(f"  bring Tessra.exe to the front (pid {event.get('pid')})")
        elif kind == "open":
            say(f"  open web page {event.get('target')}")
        elif kind == "end":
            say(f"  tessra-swm ended (status {event.get('status')})")
        elif kind == "autopilot-error":
            say(f"  AUTOPILOT ERROR on {event.get('screen')}: {event.get('reason')}")
        elif kind == "tessra-run":
            button = BUTTONS.get(event.get("button"), event.get("button"))
            say(f"  Tessra.exe: \"{button}\" starts tessra-swm "
                f"{self.short(' '.join(event.get('arguments', [])))}")
        elif kind == "tessra-start":
            how = "started again by the Software Manager" if event.get("mru") else "started"
            say(f"  Tessra.exe {how} ({' '.join(event.get('arguments', []))})")
            if event.get("updatedMark"):
                say(f"          ts07.cfg has {event.get('markLine')}")
            changes = event.get("changes", [])
            if changes:
                parts = []
                for c in changes:
                    if not c["to"]:
                        parts.append(f"{c['code']} removed")
                    elif not c["from"]:
                        parts.append(f"{c['code']} {c['to']} (new)")
                    else:
                        parts.append(f"{c['code']} {c['from']} -> {c['to']}")
                say(f"          versions: {', '.join(parts)}")
        elif kind == "tessra-exit":
            say(f"  Tessra.exe ended ({event.get('reason')})")
        elif kind == "tessra-error":
            say(f"  Tessra.exe problem: {event.get('text')}")

    def wait_for_other_tax_programs(self):
        """The Software Manager waits for, or closes, any "Tessra.exe" on the
        machine; another one (a test's stand-in, say) would hold the tour up."""
        deadline = time.monotonic() + 60
        others = tax_programs_running()
        if others:
            say(f"  waiting for another Tessra.exe to end: "
                + ", ".join(f"pid {pid} ({cmd})" for pid, cmd in others))
        while others and time.monotonic() < deadline:
            time.sleep(0.5)
            others = tax_programs_running()
        if others:
            raise DemoFailure("another Tessra.exe keeps running (pid "
                              + ", ".join(str(pid) for pid, _ in others)
                              + "); close it and run the demo again")

    def run_scene(self, number, title, click, autopilot, restart, close_after=False):
        slug = click.split(":")[0]
        say()
        say(f"== {number}. {title} ==")
        folder = os.path.join(self.demo, "transcripts")
        transcript_path = os.path.join(folder, f"{number}-{slug}.jsonl")
        autopilot_path = os.path.join(folder, f"{number}-{slug}.autopilot")
        with open(autopilot_path, "w") as f:
            f.write(f"# {title}\n" + "".join(step + "\n" for step in autopilot))
        env = dict(self.env)
        env["TESSRA_SWM_TRANSCRIPT"] = transcript_path
        env["TESSRA_SWM_AUTOPILOT"] = autopilot_path
        env["TESSRA_DEMO_SCREENSHOTS"] = os.path.join(self.demo, "screens", f"{number}-Tessra")
        env["TESSRA_SWM_SCREENSHOTS"] = os.path.join(self.demo, "screens", f"{number}-swm")
        transcript = JsonLines(transcript_path)
        self.wait_for_other_tax_programs()

        first = subprocess.Popen(
            [self.tessra, "/N", f"127.0.0.1:{self.server.port}", "--click", click],
            env=env, stdout=self.log, stderr=self.log, cwd=self.tree["home"])
        events, reports = [], []
        ended = restart_exit = launched_tessra = False
        restart_pid = child = None
        child_gone_at = None
        deadline = time.monotonic() + SCENE_TIMEOUT
        while True:
            # Tessra's own lines come before the Software Manager's, except
            # its ending and its restart, which follow what led to them.
            mine = self.report.new()
            late = [e for e in mine if e["event"] == "tessra-exit" or
                    (e["event"] == "tessra-start" and e.get("mru"))]
            for event in [e for e in mine if e not in late]:
                reports.append(event)
                self.print_event(number, event)
                if event["event"] == "tessra-run" and event["pid"] == first.pid:
                    child = event.get("child")
            for event in transcript.new():
                events.append(event)
                self.print_event(number, event)
                if event["event"] == "end":
                    ended = True
                if event["event"] == "launch" and event.get("file", "").endswith("/Tessra.exe"):
                    launched_tessra = True
            for event in late:
                reports.append(event)
                self.print_event(number, event)
                if event["event"] == "tessra-start":
                    restart_pid = event["pid"]
                if event["event"] == "tessra-exit" and event["pid"] == restart_pid:
                    restart_exit = True
            waiting_restart = restart and self.restart_possible and launched_tessra
            if ended and (not waiting_restart or restart_exit):
                break
            problem = None
            if child is None and first.poll() is not None:
                problem = "Tessra.exe ended without starting the Software Manager"
            elif child is not None and not ended and not pid_alive(child):
                # Give the transcript a moment to show its last lines.
                child_gone_at = child_gone_at or time.monotonic()
                if time.monotonic() - child_gone_at > 2:
                    problem = "tessra-swm ended without its end event"
            elif time.monotonic() > deadline:
                problem = f"the scene did not end within {SCENE_TIMEOUT} s"
            if problem:
                self.failures.append(f"scene {number}: {problem}")
                say(f"    FAIL {problem}")
                others = tax_programs_running(exclude={first.pid})
                if others:
                    say("    (another Tessra.exe was running: "
                        + ", ".join(f"pid {pid} {cmd}" for pid, cmd in others) + ")")
                # Leave no Software Manager of ours behind, holding the lock.
                if child is not None and pid_alive(child):
                    os.kill(child, signal.SIGTERM)
                break
            time.sleep(0.1)

        if close_after and first.poll() is None:
            first.send_signal(signal.SIGTERM)
        try:
            first.wait(15)
        except subprocess.TimeoutExpired:
            first.kill()
            first.wait()
            self.failures.append(f"scene {number}: Tessra.exe did not end")
        for event in self.report.new():
            reports.append(event)
            self.print_event(number, event)
        if restart and launched_tessra and not self.restart_possible:
            say(f"  (no Tessra.exe next to {self.swm}: nothing to start again)")
        return events, reports

    def results(self, events):
        return [(e["screen"], e["result"]) for e in events if e["event"] == "result"]

    def launches(self, events):
        return [(os.path.basename(e["file"]), e["parameters"]) for e in events
                if e["event"] == "launch"]

    def check_restart(self, reports, events, expect_mark):
        if not self.restart_possible:
            return
        starts = [r for r in reports if r["event"] == "tessra-start" and r.get("mru")]
        self.check(bool(starts), "Tessra.exe was started again with /mru")
        if starts and expect_mark:
            self.check(starts[-1].get("updatedMark") is True,
                       "it found bool:ui_prop_tessra_updated=true in ts07.cfg")

    def run(self):
        products = {p["code"]: p for p in self.tree["products"]}
        store = self.tree["store"][0]
        server = f"127.0.0.1:{self.server.port}"

        # 1. An update: some products have a newer version, NY is current.
        events, reports = self.run_scene(
            1, "Check for Updates", "update",
            ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1"], restart=True)
        say("  outcome:")
        self.check(self.results(events) == [("UpdatesAvailableDlg", 1), ("DLMgrDlg", 1),
                                            ("FinishedDlg", 1)],
                   "updates listed, downloaded, and installed with Finish")
        updated = [p for p in self.tree["products"] if p["offered"] > p["installed"]]
        expected = [(f"{p['code']}{p['installed']}{p['offered']}"
                     f"{make_demo_tree.edition_letter(self.tree['edition'])}upd.exe", '"/v/passive"')
                    for p in updated]
        got = [(f, p) for f, p in self.launches(events) if f.endswith("upd.exe")]
        self.check(got == expected, f"installers run in order: {', '.join(f for f, _ in expected)}")
        delta = self.tree.get("delta")
        if delta:
            applied = [e for e in events if e["event"] == "delta" and e.get("outcome") == "applied"]
            self.check([e.get("product") for e in applied] == [delta["product"]],
                       f"{delta['product']} came as a patch against the installer on disk")
        self.check(any(e["event"] == "close-request" for e in events),
                   "Tessra.exe was asked to close before installing")
        tessra_launch = [p for f, p in self.launches(events) if f == "Tessra.exe"]
        self.check(tessra_launch == [f" /N {server} /mru"],
                   f"Tessra.exe started again with \" /N {server} /mru\"")
        self.check_restart(reports, events, expect_mark=True)
        state = self.state()
        self.check(all(state.get(p["code"]) == str(p["offered"]) for p in products.values()),
                   "new versions: " + ", ".join(f"{c} {state.get(c)}" for c in products))

        # 2. The alert, then the update check behind it finds everything current.
        events, reports = self.run_scene(
            2, "Check for Alerts", "alert",
            ["WelcomeDlg 1", "NoUpdatesAvailDlg 1132 2", "NoUpdatesAvailDlg 2"],
            restart=False, close_after=True)
        say("  outcome:")
        shown = [e for e in events if e["event"] == "screen" and e["screen"] == "NoUpdatesAvailDlg"]
        self.check(len(shown) == 2 and "1130" in shown[0]["texts"] and "1027" in shown[1]["texts"],
                   "the alert was shown, then \"All Programs Current\"")
        swmgr = os.path.join(self.tree["appdata"], "Tessra", "2007", "swmgr.cfg")
        try:
            with open(swmgr, "rb") as f:
                remembered = f.read().decode(errors="replace").split()
        except OSError:
            remembered = []
        self.check(remembered == ["currver=7", "show=false"],
                   "\"Do not show me this particular alert again\" kept in swmgr.cfg")

        # 3. A state bought inside Tessra: Tessra closes, the state is fetched and installed.
        events, reports = self.run_scene(
            3, f"Buy a State ({store['name']})", f"buy:{store['code']}", ["DLMgrDlg wait"],
            restart=True)
        say("  outcome:")
        self.check(self.results(events) == [("DLMgrDlg", 1)], "the state was downloaded")
        self.check(self.launches(events)[:1] == [(f"Tessra{store['code']}.exe", ' /v"RUN=/G"')],
                   f"Tessra{store['code']}.exe run with  /v\"RUN=/G\"")
        purchase = os.path.join(self.tree["common"], "Tessra", "2007", "purchase.cfg")
        self.check(not os.path.exists(purchase), "purchase.cfg deleted")
        self.check(self.state().get(store["code"]) == str(store["version"]),
                   f"{store['name']} {store['version']} installed")
        self.check_restart(reports, events, expect_mark=False)

        # 4. Reinstall two states from the installers on disk, without screens.
        codes = [r["code"] for r in self.tree["reinstall"]]
        events, reports = self.run_scene(
            4, f"Reinstall States ({' '.join(codes)})", "reinstall:" + ",".join(codes), [],
            restart=True)
        say("  outcome:")
        expected = ([("msiexec.exe", f"/x{r['productCode']} /passive") for r in self.tree["reinstall"]]
                    + [(f"Tessra{c}.exe", '/v"RUN=/G"') for c in codes])
        self.check(self.launches(events)[:len(expected)] == expected,
                   "uninstalled " + ", then ".join(codes) + ", then installed them again in order")
        state = self.state()
        self.check(all(state.get(r["code"]) == str(r["version"]) for r in self.tree["reinstall"]),
                   "back at the versions of the installers on disk: "
                   + ", ".join(f"{r['code']} {state.get(r['code'])}" for r in self.tree["reinstall"])
                   + " (the next update check offers what is newer)")
        self.check_restart(reports, events, expect_mark=False)


# ---------------------------------------------------------------------------
# Screenshots of the screens met on the tour


def variant_picture(name, texts):
    """The file tessra-screenshots renders for a screen as the tour met it."""
    if name == "UpdatesAvailableDlg":
        several = "Available!" in texts.get("1027", "")
        return "updates-available-several" if several else "updates-available-one"
    if name == "DLMgrDlg":
        return "progress-state" if "1127" in texts else "progress-update"
    if name == "FinishedDlg":
        return "finished-failure" if "1079" in texts else "finished-success"
    if name == "NoUpdatesAvailDlg":
        return "alert" if "1130" in texts else "no-updates"
    if name == "ResumeCancelDlg":
        return "resume-cancel-purchase" if "1129" in texts else "resume-cancel-update"
    return {"WelcomeDlg": "welcome", "AllUpdsAvailDlg": "all-updates-available",
            "NoNetworkDlg": "no-network", "ConnIssueDlg": "connection-issues"}.get(name)


def save_screenshots(tour, build, demo, env):
    """A picture of every screen the tour met, as NUMBER-STEP-SCREEN.png.

    The tour asks the Software Manager for its own screenshots through
    TESSRA_SWM_SCREENSHOTS; a screen it left none of is rendered by
    tessra-screenshots (the same screen class, with that tool's sample data).
    Tessra.exe's own pictures are NUMBER-Tessra*.png."""
    folder = os.path.join(demo, "screens")
    tool = os.path.join(build, "bin", "tessra-screenshots")
    rendered = os.path.join(demo, "logs", "rendered")
    shutil.rmtree(rendered, ignore_errors=True)
    sample = []
    step = {}
    for scene, name, event in tour.screens:
        step[scene] = step.get(scene, 0) + 1
        target = os.path.join(folder, f"{scene}-{step[scene]}-{name}.png")
        own = os.path.join(folder, f"{scene}-swm", f"{step[scene]:02d}-{name}.png")
        if os.path.isfile(own):
            shutil.move(own, target)
            continue
        picture = variant_picture(name, event.get("texts", {}))
        if picture is None or not os.access(tool, os.X_OK):
            continue
        if not os.path.isdir(rendered):
            run_env = dict(env)
            run_env["QT_QPA_PLATFORM"] = "offscreen"
            subprocess.run([tool, rendered], env=run_env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)
        source = os.path.join(rendered, picture + ".png")
        if os.path.isfile(source):
            shutil.copy(source, target)
            sample.append(os.path.basename(target))
    for scene in {scene for scene, _, _ in tour.screens}:
        shutil.rmtree(os.path.join(folder, f"{scene}-swm"), ignore_errors=True)
    pictures = sorted(n for n in os.listdir(folder) if n.endswith(".png"))
    return pictures, sample


# ---------------------------------------------------------------------------


def main(argv):
    parser = argparse.ArgumentParser(description="The Tessra Software Manager demo.")
    parser.add_argument("build", help="build folder (with bin/)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--tour", action="store_true", help="run the scripted tour")
    mode.add_argument("--interactive", action="store_true", help="start Tessra.exe for the user")
    parser.add_argument("--out", help="demo folder (default BUILD/demo)")
    parser.add_argument("--swm", default=os.environ.get("TESSRA_SWM"),
                        help="the tessra-swm to run (default BUILD/bin/tessra-swm)")
    args = parser.parse_args(argv)

    build = os.path.abspath(args.build)
    bin_dir = os.path.join(build, "bin")
    tessra = os.path.join(bin_dir, "Tessra.exe")
    swm = os.path.abspath(args.swm) if args.swm else os.path.join(bin_dir, "tessra-swm")
    server_program = os.path.join(bin_dir, "tessra-update-server")
    if not os.access(server_program, os.X_OK):
        server_program = shutil.which("tessra-update-server") or server_program
    publish = os.path.join(bin_dir, "tessra-publish")
    if not os.access(publish, os.X_OK):
        publish = shutil.which("tessra-publish") or publish
    missing = [p for p in (tessra, swm, server_program, publish) if not os.access(p, os.X_OK)]
    if missing:
        say("demo: missing " + ", ".join(missing))
        say("demo: build first: make demo (or cmake --build " + args.build + ")")
        return 1

    chosen = os.environ.get("TESSRA_DEMO", "")
    if args.tour or chosen == "tour":
        interactive = False
    elif args.interactive or chosen == "interactive":
        interactive = True
    else:
        interactive = display_answers() and sys.stdin.isatty()
    on_display = display_answers() and os.environ.get("QT_QPA_PLATFORM") != "offscreen"

    demo = os.path.abspath(args.out or os.path.join(build, "demo"))
    os.makedirs(demo, exist_ok=True)
    tree = make_demo_tree.build(demo, publish)
    for sub in ("screens", "transcripts", "logs"):
        shutil.rmtree(os.path.join(demo, sub), ignore_errors=True)
        os.makedirs(os.path.join(demo, sub))
    report_path = os.path.join(demo, "transcripts", "tessra.jsonl")

    env = dict(os.environ)
    env.update(tree["env"])
    env["PATH"] = tree["path"] + os.pathsep + env.get("PATH", "")
    env["TESSRA_SWM"] = swm
    env["TESSRA_DEMO_REPORT"] = report_path
    # The Software Manager's support log goes beside the demo's other logs.
    env["XDG_STATE_HOME"] = os.path.join(demo, "logs")
    # The demo server is local: no proxy of the user's environment in between.
    for name in ("no_proxy", "NO_PROXY"):
        env[name] = ",".join(x for x in ("127.0.0.1", "localhost", env.get(name, "")) if x)
    for name in ("TESSRA_SWM_TRANSCRIPT", "TESSRA_SWM_AUTOPILOT", "TESSRA_DEMO_UNATTENDED",
                 "TESSRA_DEMO_SCREENSHOTS", "TESSRA_SWM_SCREENSHOTS"):
        env.pop(name, None)

    say(f"Tessra Software Manager demo in {demo}")
    say(f"  demo home:  {tree['home']}  (source {demo}/demo.env to use it by hand)")
    server = UpdateServer(server_program, tree["server"], os.path.join(demo, "logs", "server.log"),
                          throttle=1_500_000 if interactive else None)
    say(f"  update server: http://127.0.0.1:{server.port}/ serving {tree['server']}")
    say(f"  Software Manager: {swm}")
    log = open(os.path.join(demo, "logs", "programs.log"), "ab")
    try:
        if interactive:
            return run_interactive(demo, tree, tessra, swm, server, env, log)
        return run_tour(build, demo, tree, tessra, swm, server, env, log, on_display)
    except DemoFailure as failure:
        say(f"demo: {failure}")
        return 1
    finally:
        server.stop()
        log.close()


def run_tour(build, demo, tree, tessra, swm, server, env, log, on_display):
    env = dict(env)
    env["TESSRA_DEMO_UNATTENDED"] = "1"
    if on_display:
        env["TESSRA_SWM_DISPLAY"] = "1"  # real windows on the display
        say(f"  the tour runs on the display {os.environ.get('DISPLAY')}")
    else:
        env["QT_QPA_PLATFORM"] = "offscreen"
    # A private runtime folder: the single-instance lock of this tour's runs
    # is not shared with any other Software Manager on the machine.
    runtime = os.path.join(demo, "run")
    shutil.rmtree(runtime, ignore_errors=True)
    os.makedirs(runtime, mode=0o700)
    env["XDG_RUNTIME_DIR"] = runtime

    started = time.monotonic()
    tour = Tour(demo, tree, tessra, swm, server, env, log)
    tour.run()
    pictures, sample = save_screenshots(tour, build, demo, env)
    say()
    say(f"screenshots in {os.path.join(demo, 'screens')}: {len(pictures)}")
    for name in pictures:
        note = "  (rendered by tessra-screenshots with its sample data)" if name in sample else ""
        say(f"  {name}{note}")
    say(f"transcripts in {os.path.join(demo, 'transcripts')}, logs in {os.path.join(demo, 'logs')}")
    elapsed = time.monotonic() - started
    if tour.failures:
        say(f"tour FAILED after {elapsed:.0f} s: {len(tour.failures)} of its checks did not hold")
        for failure in tour.failures:
            say(f"  - {failure}")
        return 1
    say(f"tour finished in {elapsed:.0f} s: {len(tour.screens)} screens, every outcome as expected")
    return 0


def run_interactive(demo, tree, tessra, swm, server, env, log):
    env = dict(env)
    env["TESSRA_SWM_TRANSCRIPT"] = os.path.join(demo, "transcripts", "interactive.jsonl")
    say()
    say("Tessra, the demo tax program, is open. Try its buttons:")
    say("  Check for Updates  - updates for Federal, Help Files, Installer Update and California")
    say("  Check for Alerts   - the maker's alert, then the update check")
    say("  Buy a State        - New Jersey or Pennsylvania, downloaded and installed")
    say("  Reinstall States   - uninstall and reinstall the states, without screens")
    say("  Proxy Settings     - the proxy choice the Software Manager reads from ts07.cfg")
    say("The demo ends when Tessra and the Software Manager have ended (or press Ctrl-C).")
    tour = Tour(demo, tree, tessra, swm, server, env, log)
    transcript = JsonLines(env["TESSRA_SWM_TRANSCRIPT"])
    first = subprocess.Popen([tessra, "/N", f"127.0.0.1:{server.port}"], env=env, stdout=log,
                             stderr=log, cwd=tree["home"])
    quiet_since = None
    try:
        while True:
            for event in tour.report.new() + transcript.new():
                tour.print_event(0, event)
            first.poll()
            if processes_running([tessra, swm]):
                quiet_since = None
            elif quiet_since is None:
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since > 2:
                break
            time.sleep(0.2)
    except KeyboardInterrupt:
        say("stopping the demo")
        for pid in processes_running([tessra]):
            os.kill(pid, signal.SIGTERM)
    say("demo ended")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
