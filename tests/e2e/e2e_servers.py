#!/usr/bin/env python3
"""Whole updates from servers as users meet them: lighttpd, a plain HTTP/1.0
server without ranges (Python's http.server), and a server that compresses
every answer although nobody asked it to. Each run finds a partial installer
left by an earlier run and must end with the installers run.

  e2e_servers.py --build BUILD_DIR CASE

Exit status 77 (skipped) for the lighttpd case where lighttpd is missing.
"""

import gzip
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e  # noqa: E402
from e2e import Machine, check, equal, of, read_lines  # noqa: E402

MINE = {}
SKIP_STATUS = 77
US_INSTALLER = "updates/2007/win/us/100/pupd.exe"
UPDATE_STEPS = ["UpdatesAvailableDlg 1", "DLMgrDlg wait", "FinishedDlg 1"]


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


def find_lighttpd():
    found = shutil.which("lighttpd")
    if found:
        return found
    for folder in ("/usr/sbin", "/usr/local/sbin", "/sbin"):
        path = os.path.join(folder, "lighttpd")
        if os.access(path, os.X_OK):
            return path
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


LIGHTTPD_CONFIG = """\
server.document-root = "{root}"
server.bind = "127.0.0.1"
server.port = {port}
server.pid-file = "{folder}/lighttpd.pid"
server.errorlog = "{folder}/error.log"
server.modules = ("mod_accesslog")
accesslog.filename = "{log}"
accesslog.format = "{{\\"method\\":\\"%m\\",\\"target\\":\\"%U\\",\\"path\\":\\"%U\\",\\"range\\":\\"%{{Range}}i\\",\\"userAgent\\":\\"%{{User-Agent}}i\\",\\"status\\":%>s}}"
mimetype.assign = (".txt" => "text/plain", "" => "application/octet-stream")
"""


class Lighttpd:
    """lighttpd in the foreground as the current user, everything it writes in `folder`."""

    def __init__(self, root, folder, log):
        self.root, self.folder, self.log = root, folder, log
        self.process = None
        self.port = None

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        for _ in range(5):  # another process may take a probed port first
            port = free_port()
            config = os.path.join(self.folder, "lighttpd.conf")
            with open(config, "w") as f:
                f.write(LIGHTTPD_CONFIG.format(root=self.root, port=port, folder=self.folder,
                                               log=self.log))
            self.process = subprocess.Popen([find_lighttpd(), "-D", "-f", config],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)
            end = time.monotonic() + 10
            while time.monotonic() < end and self.process.poll() is None:
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                        self.port = port
                        return "127.0.0.1:%d" % port
                except OSError:
                    time.sleep(0.02)
            self.terminate()
        check(False, "lighttpd did not start")

    # Popen's side, so that Machine.cleanup stops it like its own server.
    def poll(self):
        return self.process.poll() if self.process else 0

    def terminate(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)  # graceful: the access log is written out
            self.process.wait(10)

    def wait(self, timeout=None):
        return 0

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()


class ThreadServer:
    """An http.server in this process, logging each answer like the update server."""

    def __init__(self, handler):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.address = "127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def poll(self):
        return None if self.httpd else 0

    def terminate(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.httpd = None

    def wait(self, timeout=None):
        return 0

    kill = terminate


def logged_handler(machine):
    """http.server's own static handler: HTTP/1.0, no ranges (a 200 to every Range)."""
    import json

    class Handler(SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=machine.www, **kwargs)

        def log_message(self, *args):
            pass

        def log_request(self, code="-", size="-"):
            with open(machine.server_log, "a") as f:
                f.write(json.dumps({"method": self.command, "target": self.path,
                                    "path": self.path, "range": self.headers.get("Range", ""),
                                    "userAgent": self.headers.get("User-Agent"),
                                    "status": int(code)}) + "\n")

    return Handler


def gzip_handler(machine):
    """Every answer compressed (Content-Encoding: gzip) whatever the request
    asked for, its ranges counted in the compressed bytes: a 416 to a resume
    from the end of what a client kept of it."""
    base = logged_handler(machine)

    class Handler(base):
        def do_GET(self):
            path = os.path.join(machine.www, self.path.lstrip("/"))
            if not os.path.isfile(path):
                self.send_error(404)
                return
            with open(path, "rb") as f:
                body = gzip.compress(f.read(), mtime=0)
            wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
            start = int(wanted.group(1)) if wanted else 0
            if start >= len(body) and wanted:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(body))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(206 if wanted else 200)
            if wanted:
                self.send_header("Content-Range",
                                 "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
            self.send_header("Content-Encoding", "gzip")
            self.send_header("Content-Length", str(len(body) - start))
            self.end_headers()
            self.wfile.write(body[start:])

    return Handler


class LighttpdMachine(Machine):
    def start_server(self):
        self.server = Lighttpd(self.www, os.path.join(self.root, "lt"), self.server_log)
        return self.server.start()


class PlainMachine(Machine):
    def start_server(self):
        self.server = ThreadServer(logged_handler(self))
        return self.server.address


class GzipMachine(Machine):
    def start_server(self):
        self.server = ThreadServer(gzip_handler(self))
        return self.server.address


def update_installs(m, left):
    """The whole update on `m`, where an earlier run left `left(installer)` of the
    US installer; it must end with both installers run, no message. Returns the
    (range, status) of each request for the US installer, and its bytes."""
    server, request, installers = e2e.update_machine(m)
    with open(os.path.join(m.www, US_INSTALLER), "rb") as f:
        served = f.read()
    kept = left(served)
    if kept is not None:
        m.write(installers[0], kept)
    events = m.run([request, "/N", server], UPDATE_STEPS)
    equal(of(events, "message"), [], "messages")
    equal([os.path.basename(e["file"]) for e in of(events, "launch")],
          ["US100101pupd.exe", "CA79pupd.exe", "Tessra.exe"], "programs started")
    e2e.check_installers_ran(m, installers)
    with open(installers[0], "rb") as f:
        equal(f.read(), served, "the US installer on disk")
    check(not os.path.exists(installers[0] + ".rejected"), "nothing set aside")
    m.server.terminate()  # lighttpd writes its access log out as it stops
    return [(r["range"] if r["range"] not in ("", "-") else "", r["status"])
            for r in read_lines(m.server_log) if r["path"] == "/" + US_INSTALLER], served


def half(body):
    return body[:len(body) // 2]


@case
def lighttpd_resumed_update_installs(build):
    """lighttpd answers the resume of a half installer with 206: the rest, then the install."""
    # Not "lighttpd": the program finds the word "http" anywhere in its command line.
    m = LighttpdMachine(build, "lt")
    try:
        requests, served = update_installs(m, half)
        equal(requests, [("bytes=%d-" % (len(served) // 2), 206)], "installer requests")
    finally:
        m.cleanup()


@case
def no_ranges_resumed_update_installs(build):
    """An HTTP/1.0 server without ranges answers the resume with the whole file (200): written
    afresh in the same run, installed (never problem 33 on every run)."""
    m = PlainMachine(build, "no-ranges")
    try:
        requests, served = update_installs(m, half)
        equal(requests, [("bytes=%d-" % (len(served) // 2), 200)], "installer requests")
    finally:
        m.cleanup()


@case
def forced_gzip_update_installs(build):
    """A server that compresses everything unasked: manifests and installers are decoded and
    installed in the first run; the compressed file an older copy kept (too small, and a 416 to
    its rest) is fetched again whole in the same run and installed."""
    for what, left, wanted in (
            ("first run", lambda body: None, lambda zipped: [("", 200)]),
            ("kept compressed by an older copy", lambda body: gzip.compress(body, mtime=0),
             lambda zipped: [("bytes=%d-" % zipped, 416), ("", 200)])):
        m = GzipMachine(build, "gzip")
        try:
            requests, served = update_installs(m, left)
            equal(requests, wanted(len(gzip.compress(served, mtime=0))),
                  what + ": installer requests")
        finally:
            m.cleanup()


def main():
    wanted = [a for a in sys.argv[1:] if a in MINE]
    if wanted and wanted[0].startswith("lighttpd") and not find_lighttpd():
        print("SKIPPED: lighttpd is not installed (make deps installs it)")
        return SKIP_STATUS
    return e2e.main(MINE)


if __name__ == "__main__":
    sys.exit(main())
