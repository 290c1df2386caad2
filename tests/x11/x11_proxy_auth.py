#!/usr/bin/env python3
"""The proxy password screen on a real X display, typed into with xdotool.

    x11_proxy_auth.py --build BUILD_DIR --out OUTPUT_DIR

Xvfb and openbox on a free display, a real squid asking for Basic, a real
Secret Service (gnome-keyring on a private session bus), and purchases of
California run by tessra-swm without the autopilot:

1. The manifest's proxy asks (UI thread): a wrong password is typed, the
   screen comes again saying it was refused, the right one is typed with
   "Remember"; the purchase ends, the Secret Service holds the password.
2. The next purchase logs in with the saved password: no screen.
3. Through a squid that lets manifests pass, the installer's proxy asks
   (worker thread): Cancel; the download fails with problem 22 as without a
   password, and the run says the proxy asked for one.
4. The same, answered: the installer arrives and runs; nothing is saved.

The password must appear nowhere: transcript, support log, the program's
files, the installer's command line and environment. A picture of each
screen goes to OUTPUT_DIR. Exit status 0 when every check held, 1 otherwise,
77 (skipped) where a program is missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TESTS, "e2e"))
sys.path.insert(0, os.path.join(TESTS, "support"))
import e2e  # noqa: E402
import e2e_proxy_auth as auth  # noqa: E402
import secret_service  # noqa: E402
import x11_update as x11  # noqa: E402
from x11_update import Failure, check, say  # noqa: E402

SKIP = 77
TITLE = "Tessra Software Manager"
DIALOG_SIZE = (345, 257)  # 230 x 158 dialog units
PROGRESS_SIZE = (470, 419)  # 313 x 258 dialog units


class Session:
    """One tessra-swm run on the display, followed through its transcript."""

    def __init__(self, m, desktop):
        self.m = m
        self.desktop = desktop
        m.forget_download()
        self.proc, path = m.launch([m.address, "/purchase"], [], elevation=False)
        self.run = x11.Run(path, os.path.join(m.root, "no-report.jsonl"))
        self.transcript = path

    def screen(self, name):
        return self.run.screen(name)

    def result(self, name):
        return self.run.result(name)

    def dialog(self):
        """The password screen's window, activated: told from the progress
        screen, of the same title, by its fixed size."""
        return self.dialog_of_size(DIALOG_SIZE)

    def dialog_of_size(self, size):
        def probe():
            found = [w for w in self.desktop.windows(TITLE)
                     if self.desktop.geometry(w)[2:] == size]
            return found[0] if len(found) == 1 else None
        window = self.desktop.wait_until(probe, "a window of %d x %d" % size)
        self.desktop.activate(window)
        return window

    def type(self, text):
        self.desktop.run(["xdotool", "type", "--delay", "40", text], check=True)

    def answer_message(self):
        """OK to the next message box; returns its event."""
        event = self.run.wait_for("a message", lambda e: e.get("event") == "message")
        box = self.desktop.window(event["title"])
        self.desktop.activate(box)
        self.desktop.keys("Return")
        return event

    def finish(self):
        """Waits for the run's end; returns (events, stderr)."""
        self.run.wait_for("the end", lambda e: e.get("event") == "end")
        _, err = self.proc.communicate(timeout=x11.WAIT)
        check(self.proc.returncode == 0, "tessra-swm ended with status 0 (%s)" % err.strip())
        return e2e.read_lines(self.transcript), err


def purchased(events):
    return [e["file"].rsplit("/", 1)[-1] for e in e2e.of(events, "launch")] == [
        "TessraCA.exe", "Tessra.exe"]


def drive(build, out, work):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("TESSRA_", "QT_", "XDG_")) and k not in ("DISPLAY", "HOME")}
    env["HOME"] = os.path.join(work, "home")
    os.makedirs(env["HOME"], exist_ok=True)
    desktop = x11.Desktop(build, env)
    m = strict = lenient = keyring = None
    try:
        say("  display %s with openbox" % desktop.display)
        m = auth.AuthMachine(build, "x11-proxy-auth")
        m.serve_purchase()
        keyring = secret_service.SecretService(m.root)
        strict = auth.AuthSquid("basic").start()
        lenient = auth.AuthSquid("basic", free=r"/ver\.txt$").start()
        m.environment = {"TESSRA_SWM_AUTOPILOT": None, "DISPLAY": desktop.display,
                         "QT_QPA_PLATFORM": "xcb", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
                         **keyring.env}
        picture = iter(range(1, 100))

        def shot(name):
            desktop.screenshot(os.path.join(out, "%02d-%s.png" % (next(picture), name)))

        def through(proxy):
            host, port = proxy.address().split(":")
            m.settings("string:ui_prop_proxy_which=tessra\n"
                       "string:ui_prop_proxy_http_server=%s\n"
                       "string:ui_prop_proxy_http_port=%s\n" % (host, port))

        say("  1. the manifest's proxy asks; a wrong password, then the right one, remembered")
        through(strict)
        run = Session(m, desktop)
        screen = run.screen("ProxyAuthDlg")
        check(screen["texts"].get("1170") == "The proxy %s asks for a user name and password."
              % strict.address(), "the screen names the proxy")
        check("1171" not in screen["texts"], "no refusal line at first")
        run.dialog()
        shot("proxy-password")
        run.type(auth.USER)
        desktop.keys("Tab")
        run.type(auth.WRONG)
        desktop.keys("Return")
        check(run.result("ProxyAuthDlg")["result"] == 1, "Return is Try Again")
        screen = run.screen("ProxyAuthDlg")
        check(screen["texts"].get("1171", "").startswith("The proxy refused"),
              "asked again, saying the password was refused")
        run.dialog()
        shot("proxy-password-refused")
        run.type(auth.PASSWORD)  # the name stays; the password field has the focus
        desktop.keys("Tab", "space", "Return")
        check(run.result("ProxyAuthDlg")["result"] == 1, "Try Again with the right password")
        events, err = run.finish()
        check(purchased(events), "the state was downloaded and installed")
        check(not e2e.of(events, "proxy-auth"), "no refusal reported")
        saved = keyring.items({"proxy": strict.address()})
        check([(a.get("user"), s) for a, s in saved] == [(auth.USER, auth.PASSWORD)],
              "the Secret Service holds the user and the password that worked: %r"
              % [a for a, _ in saved])
        users = [(status, user) for status, path, user in strict.requests()]
        check((407, "-") in users and (200, auth.USER) in users and
              (407, auth.USER) in users, "squid refused the wrong one and took the right one")

        say("  2. the saved password: no screen")
        run = Session(m, desktop)
        events, err = run.finish()
        check(purchased(events) and not [e for e in events if e.get("screen") == "ProxyAuthDlg"],
              "purchased with the saved password, nobody asked")

        say("  3. the installer's proxy asks on the worker thread: Cancel")
        keyring.clear({"proxy": lenient.address()})
        through(lenient)
        run = Session(m, desktop)
        run.screen("DLMgrDlg")
        screen = run.screen("ProxyAuthDlg")
        check("1171" not in screen["texts"], "asked, nothing refused yet")
        run.dialog()
        shot("proxy-password-installer")
        desktop.keys("Escape")
        check(run.result("ProxyAuthDlg")["result"] == 2, "Escape is Cancel")
        message = run.answer_message()
        check(message["title"] == "Problem Detected" and "(22)" in message["text"],
              "problem 22, as without a password")
        # As after any failed download, the progress screen waits for its Cancel.
        run.dialog_of_size(PROGRESS_SIZE)
        desktop.keys("Escape")
        check(run.result("DLMgrDlg")["result"] == 2, "the progress screen cancelled")
        events, err = run.finish()
        reports = e2e.of(events, "proxy-auth")
        check([(r["proxy"], r["schemes"], r["asked"]) for r in reports] ==
              [(lenient.address(), ["Basic"], True)], "proxy-auth: %r" % reports)
        check("the proxy %s asks for a password" % lenient.address() in err, "stderr says why")
        check(not any(e["file"].endswith("TessraCA.exe") for e in e2e.of(events, "launch")),
              "nothing installed")

        say("  4. the installer's proxy asks again: answered")
        run = Session(m, desktop)
        run.screen("DLMgrDlg")
        run.screen("ProxyAuthDlg")
        run.dialog()
        run.type(auth.USER)
        desktop.keys("Tab")
        run.type(auth.PASSWORD)
        desktop.keys("Return")
        events, err = run.finish()
        check(purchased(events), "the installer arrived and ran")
        check(keyring.items({"proxy": lenient.address()}) == [], "nothing saved without Remember")

        auth.check_nowhere(m, auth.PASSWORD)
        auth.check_nowhere(m, auth.WRONG)
        say("    ok   the passwords are nowhere: transcripts, support log, files, installers")
    finally:
        for part in (keyring, strict, lenient):
            if part:
                part.stop()
        if m:
            m.cleanup()
        desktop.stop()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    missing = [p for p in ("Xvfb", "openbox", "xdotool", "xprop", "dbus-daemon",
                           "gnome-keyring-daemon", "secret-tool")
               if not shutil.which(p, path=os.environ.get("PATH", "") + ":/usr/sbin")]
    if not shutil.which("squid", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
        missing.append("squid")
    if missing:
        say("skipped: %s not installed (make deps installs them)" % ", ".join(missing))
        return SKIP
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith(".png"):
            os.remove(os.path.join(out, name))
    with tempfile.TemporaryDirectory(prefix="tessra-x11-proxy-") as work:
        try:
            drive(os.path.abspath(args.build), out, work)
        except auth.Skip as skip:
            say("skipped: %s" % skip)
            return SKIP
        except (Failure, e2e.Failure, subprocess.TimeoutExpired) as failure:
            say("FAILED: %s" % failure)
            return 1
    say("passed; screenshots in %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
