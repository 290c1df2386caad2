#!/usr/bin/env python3
"""One whole update on a real X display, driven by real input events.

    x11_update.py --build BUILD_DIR --out OUTPUT_DIR

Starts Xvfb on a free display number and openbox on it, lays out the demo
home and update server in a temporary folder, starts the demo Tessra window
and then, with XTest events through xdotool: clicks "Check for Updates", Next
on the updates-available screen, waits for the downloads, picks "Wait until
I close Tessra" by mouse and "Close Tessra and install updates now." by
keyboard on the finished screen and presses Finish with Return. The Software
Manager then asks Tessra to close through the window manager, shows
"Installing Tessra Updates" while it runs the installers and starts Tessra
again, which must show the new versions.

A picture of the screen at each step goes to OUTPUT_DIR. Exit status 0 when
every check held, 1 otherwise, 77 (skipped) where Xvfb, openbox or xdotool
is missing.
"""

import argparse
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
PICTURES = os.path.join(SOURCE, "resources", "pictures")
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
import demo  # noqa: E402  (UpdateServer, JsonLines)
import make_demo_tree  # noqa: E402

SKIP = 77
WAIT = 30  # seconds for any one step; the whole run takes a few seconds
SWM_TITLE = "Tessra Software Manager"
TESSRA_TITLE = "Tessra 2007"
# The screens' fonts: heading and body (Verdana and Arial, or what stands in).
# Em sizes of the screens' fonts: cell heights 26 and 16 in the faces that stand in.
HEADING_FONT = ("Verdana", 23)
BODY_FONT = ("Arial", 14)
WAIT_RADIO = "Wait until I close Tessra before installing updates."
# Found on screen by its tail: the first glyphs come out a pixel apart from a fresh rendering.
WAIT_RADIO_TAIL = "I close Tessra before installing updates."


class Failure(Exception):
    pass


def say(text):
    print(text, flush=True)


class Desktop:
    """Xvfb and openbox on a display of their own, and the test's view of it."""

    def __init__(self, build, env):
        self.build = build
        self.env = env
        self.processes = []
        read_end, write_end = os.pipe()
        self.xvfb = self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "1024x768x24", "-nolisten", "tcp", "-noreset"],
                               pass_fds=(write_end,))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + WAIT
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise Failure("Xvfb named no display")
        self.display = ":" + number.decode().strip()
        env["DISPLAY"] = self.display
        self.wm = self.start(["openbox", "--sm-disable"])
        self.wait_until(lambda: "window id" in self.run(["xprop", "-root",
                                                         "_NET_SUPPORTING_WM_CHECK"]),
                        "openbox to manage the display")

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    def run(self, args, check=False):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=WAIT)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(args)}: {result.stderr.strip() or result.returncode}")
        return result.stdout

    @staticmethod
    def wait_until(probe, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            value = probe()
            if value:
                return value
            if time.monotonic() > deadline:
                raise Failure(f"timed out waiting for {what}")
            time.sleep(0.1)

    # Windows -----------------------------------------------------------

    def windows(self, title):
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"])
        return [int(w) for w in out.split()]

    def window(self, title, exclude=()):
        """The one visible top-level window called `title` (not in `exclude`)."""
        def probe():
            found = [w for w in self.windows(title) if w not in exclude]
            return found[0] if len(found) == 1 else None
        return self.wait_until(probe, f"a window \"{title}\"")

    def geometry(self, window):
        out = self.run(["xdotool", "getwindowgeometry", "--shell", str(window)], check=True)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def pid_of(self, window):
        out = self.run(["xdotool", "getwindowpid", str(window)])
        return int(out) if out.strip().isdigit() else None

    # The screen -----------------------------------------------------------

    def tool(self, *args):
        program = os.path.join(self.build, "bin", "x11-screen-tool")
        return subprocess.run([program, *args], env=self.env, capture_output=True, text=True,
                              timeout=WAIT)

    def screenshot(self, path):
        self.tool("grab", path)
        say(f"    screenshot {os.path.basename(path)}")

    def find_picture(self, *names):
        files = [os.path.join(PICTURES, f"button-{name}.png") for name in names]
        result = self.tool("find-picture", *files)
        return tuple(int(v) for v in result.stdout.split()) if result.returncode == 0 else None

    def find_text(self, text, area, font=None):
        # The face that stands in decides the em of a cell height: try the
        # sizes around the expected one.
        for size in ([font[1], font[1] - 1, font[1] + 1, font[1] + 2] if font else [None]):
            options = ["--in", *map(str, area)]
            if font:
                options += ["--font", font[0], str(size)]
            result = self.tool("find-text", text, *options)
            if result.returncode == 0:
                return tuple(int(v) for v in result.stdout.split())
        return None

    # Input: XTest events, as from a real mouse and keyboard -----------------

    def click(self, x, y):
        self.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"], check=True)

    def keys(self, *keys):
        self.run(["xdotool", "key", "--delay", "80", *keys], check=True)

    def activate(self, window):
        self.run(["xdotool", "windowactivate", "--sync", str(window)], check=True)


class Run:
    """The events of the Software Manager (transcript) and of Tessra (report)."""

    def __init__(self, transcript, report):
        self.transcript = demo.JsonLines(transcript)
        self.report = demo.JsonLines(report)
        self.events = []
        self.programs = set()  # pids of tessra-swm and Tessra.exe met on the way

    def wait_for(self, what, match, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while True:
            for event in self.transcript.new() + self.report.new():
                self.events.append(event)
                if event.get("event") == "tessra-run":
                    self.programs.add(event.get("child"))
                if event.get("event") == "tessra-start":
                    self.programs.add(event.get("pid"))
                if event.get("event") == "autopilot-error":
                    raise Failure(f"unexpected autopilot step: {event}")
            for event in self.events:
                if match(event):
                    self.events.remove(event)
                    return event
            if time.monotonic() > deadline:
                raise Failure(f"timed out waiting for {what}")
            time.sleep(0.1)

    def stop_programs(self):
        """Ends what a failed run left behind (the display going away
        does not reach a program that is blocked in a wait)."""
        for pid in self.programs:
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().strip() in ("tessra-swm", "Tessra.exe"):
                        os.kill(pid, signal.SIGKILL)
            except (OSError, TypeError):
                pass

    def screen(self, name):
        return self.wait_for(f"the screen {name}",
                             lambda e: e.get("event") == "screen" and e.get("screen") == name)

    def result(self, name):
        return self.wait_for(f"the end of {name}",
                             lambda e: e.get("event") == "result" and e.get("screen") == name)


def check(ok, what):
    say(f"    {'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        raise Failure(what)


def center(box):
    x, y, w, h = box
    return x + w // 2, y + h // 2


def drive(build, out, work):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("TESSRA_", "QT_", "XDG_")) and k not in ("DISPLAY", "HOME")}
    home = os.path.join(work, "home")
    for name, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "home/.config"),
                      ("XDG_DATA_HOME", "home/.local/share"), ("XDG_CACHE_HOME", "home/.cache"),
                      ("XDG_RUNTIME_DIR", "runtime")):
        env[name] = os.path.join(work, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    env["QT_QPA_PLATFORM"] = "xcb"
    env["LANG"] = env["LC_ALL"] = "C.UTF-8"

    desktop = Desktop(build, env)
    server = run = None
    try:
        say(f"  display {desktop.display} with openbox")
        tree = make_demo_tree.build(os.path.join(work, "demo"))
        env.update(tree["env"])
        # Installers with raised rights: a pass-through pkexec where the test
        # is not root (root starts them directly).
        with open(os.path.join(tree["bin"], "pkexec"), "w") as f:
            f.write('#!/bin/sh\nexec "$@"\n')
        os.chmod(os.path.join(tree["bin"], "pkexec"), 0o755)
        env["TESSRA_ELEVATION"] = "1"
        # The demo's installers call awk: the first one waits for the test's
        # picture of the installing screen.
        gate = os.path.join(work, "installers-may-go")
        with open(os.path.join(tree["bin"], "awk"), "w") as f:
            f.write("#!/bin/sh\n"
                    f"i=0; while [ ! -e '{gate}' ] && [ $i -lt {WAIT * 10} ]; do\n"
                    "  sleep 0.1; i=$((i + 1))\ndone\n"
                    f"exec '{shutil.which('awk')}' \"$@\"\n")
        os.chmod(os.path.join(tree["bin"], "awk"), 0o755)
        env["PATH"] = tree["path"] + os.pathsep + env.get("PATH", "")
        env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1,localhost"
        transcript = os.path.join(work, "transcript.jsonl")
        report = os.path.join(work, "tessra.jsonl")
        env["TESSRA_SWM_TRANSCRIPT"] = transcript
        env["TESSRA_DEMO_REPORT"] = report
        # Slow enough that the progress screen is seen at work.
        server = demo.UpdateServer(os.path.join(build, "bin", "tessra-update-server"),
                                   tree["server"], os.path.join(work, "server.log"),
                                   throttle=1_500_000)
        run = Run(transcript, report)
        picture = iter(range(1, 100))

        def shot(name):
            desktop.screenshot(os.path.join(out, f"{next(picture):02d}-{name}.png"))

        say("  Tessra.exe")
        tessra = desktop.start([os.path.join(build, "bin", "Tessra.exe"),
                                "/N", f"127.0.0.1:{server.port}"], cwd=tree["home"])
        first = run.wait_for("Tessra's start", lambda e: e.get("event") == "tessra-start")
        window = desktop.window(TESSRA_TITLE)
        check(desktop.pid_of(window) == tessra.pid, "Tessra's window carries its pid")
        area = desktop.geometry(window)
        button = desktop.wait_until(lambda: desktop.find_text("Check for Updates", area),
                                    "the \"Check for Updates\" button to be drawn")
        shot("tessra")

        say("  mouse: Check for Updates")
        desktop.click(*center(button))
        started = run.wait_for("Tessra to start tessra-swm",
                               lambda e: e.get("event") == "tessra-run")
        check(started["button"] == "update", "the click reached \"Check for Updates\"")

        say("  UpdatesAvailableDlg")
        screen = run.screen("UpdatesAvailableDlg")
        check(screen["texts"].get("1027", "").startswith("Updates Available!"),
              "heading \"Updates Available!\"")
        dialog = desktop.window(SWM_TITLE)
        check(desktop.pid_of(dialog) == started["child"], "the screen is tessra-swm's window")
        props = desktop.run(["xprop", "-id", str(dialog), "WM_CLASS", "_NET_WM_ICON"])
        check('WM_CLASS(STRING) = "tessra-swm", "tessra-swm"' in props,
              "window class tessra-swm, the desktop entry's name")
        check("_NET_WM_ICON(CARDINAL) = " in props, "the window carries the program's icon")
        next_button = desktop.wait_until(
            lambda: desktop.find_picture("next-normal", "next-focused"), "the Next button")
        shot("updates-available")
        say("  mouse: Next")
        desktop.click(*center(next_button))
        check(run.result("UpdatesAvailableDlg")["result"] == 1, "Next ends the screen with 1")

        say("  DLMgrDlg")
        run.screen("DLMgrDlg")
        progress = desktop.window(SWM_TITLE, exclude=[dialog])
        shot("progress")
        check(run.result("DLMgrDlg")["result"] == 1, "the downloads finished")

        say("  FinishedDlg")
        screen = run.screen("FinishedDlg")
        check(screen["checked"] == ["1108"], "\"Close Tessra and install updates now.\" preset")
        dialog = desktop.window(SWM_TITLE, exclude=[dialog, progress])
        desktop.wait_until(lambda: desktop.find_picture("finish-normal", "finish-focused"),
                           "the Finish button")
        shot("finished")
        radio = desktop.wait_until(
            lambda: desktop.find_text(WAIT_RADIO_TAIL, desktop.geometry(dialog), BODY_FONT),
            f"\"{WAIT_RADIO}\"")
        say(f"  mouse: \"{WAIT_RADIO}\"")
        desktop.click(*center(radio))
        shot("finished-wait-chosen")

        say("  keyboard: Shift+Tab, space (close now), Tab Tab, Return (Finish)")
        desktop.activate(dialog)
        desktop.keys("shift+Tab", "space", "Tab", "Tab")
        desktop.wait_until(lambda: desktop.find_picture("finish-focused"),
                           "the Finish button to take the keyboard focus")
        shot("finished-close-now-chosen")
        managed = desktop.run(["xprop", "-root", "_NET_CLIENT_LIST"])
        check(hex(window) in managed, "openbox manages Tessra's window: the close request "
              "goes through it (_NET_CLOSE_WINDOW)")
        desktop.keys("Return")

        say("  closing Tessra through the window manager")
        front = run.wait_for("the foreground request", lambda e: e.get("event") == "foreground")
        close = run.wait_for("the close request", lambda e: e.get("event") == "close-request")
        check(front["pid"] == close["pid"] == tessra.pid, "both go to Tessra's pid")
        ended = run.wait_for("Tessra to end", lambda e: e.get("event") == "tessra-exit"
                             and e.get("pid") == tessra.pid)
        check(ended["reason"] == "close", "Tessra closed on its window's close request "
              "(not by a signal)")

        say("  installers and Tessra again")
        launch = run.wait_for("the first installer", lambda e: e.get("event") == "launch")
        desktop.wait_until(
            lambda: desktop.find_text("Installing Tessra Updates", desktop.geometry(dialog),
                                      HEADING_FONT),
            "\"Installing Tessra Updates\"")
        shot("installing")
        open(gate, "w").close()
        finished = run.result("FinishedDlg")
        check(finished["result"] == 1, "Finish ended the screen with 1 (the close-now way)")
        installers = [launch]
        while True:
            launch = run.wait_for("a program start", lambda e: e.get("event") == "launch")
            if launch["file"].endswith("/Tessra.exe"):
                break
            installers.append(launch)
        offered = [p for p in tree["products"] if p["offered"] > p["installed"]]
        check([os.path.basename(l["file"]) for l in installers] ==
              [f"{p['code']}{p['installed']}{p['offered']}pupd.exe" for p in offered]
              and all(l["parameters"] == '"/v/passive"' and l["wait"] for l in installers),
              f"{len(offered)} installers run in turn with \"/v/passive\"")
        again = run.wait_for("Tessra's new start", lambda e: e.get("event") == "tessra-start"
                             and e.get("pid") != first["pid"])
        check(again["mru"] and again["updatedMark"], "Tessra started with /mru and the "
              "\"updated\" mark set")
        check(again["products"] == {p["code"]: p["offered"] for p in tree["products"]},
              "Tessra lists the new versions")
        ended = run.wait_for("tessra-swm to end", lambda e: e.get("event") == "end")
        check(ended["status"] == 0, "tessra-swm ended with status 0")
        window = desktop.window(TESSRA_TITLE)
        check(desktop.pid_of(window) == again["pid"], "a new Tessra window is on the screen")
        area = desktop.geometry(window)
        desktop.wait_until(lambda: desktop.find_text("Check for Updates", area),
                           "the new window to be drawn")
        shot("tessra-restarted")
        os.kill(again["pid"], signal.SIGTERM)
        run.wait_for("the new Tessra to end", lambda e: e.get("event") == "tessra-exit"
                     and e.get("pid") == again["pid"])
    finally:
        if run:
            run.stop_programs()
        if server:
            server.stop()
        desktop.stop()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    missing = [p for p in ("Xvfb", "openbox", "xdotool", "xprop") if not shutil.which(p)]
    if missing:
        say(f"skipped: {', '.join(missing)} not installed (make deps installs them)")
        return SKIP
    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith(".png"):
            os.remove(os.path.join(out, name))
    with tempfile.TemporaryDirectory(prefix="tessra-x11-") as work:
        try:
            drive(build, out, work)
        except (Failure, subprocess.TimeoutExpired, demo.DemoFailure) as failure:
            say(f"FAILED: {failure}")
            for name in ("transcript.jsonl", "tessra.jsonl"):
                path = os.path.join(work, name)
                if os.path.exists(path):
                    say(f"--- {name}")
                    with open(path) as f:
                        say(f.read().rstrip())
            return 1
    say(f"passed; screenshots in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
