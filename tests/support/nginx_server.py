#!/usr/bin/env python3
"""nginx as the update server, for tests and benchmarks, on 127.0.0.1 only.

As a module:

    server = NginxServer(root, folder)    # folder: a fresh temporary folder
    server.start()                        # picks a free port; raises NginxError
    server.address                        # "127.0.0.1:PORT"
    server.requests()                     # the access log, one dict per request
    server.stop()

As a program it stands in for tessra-update-server where a test starts that
one: `nginx_server.py --root DIR [--log FILE] [--port N] [--workers N]` prints
"listening on PORT", serves until SIGTERM or SIGINT, then stops nginx. Exit
status 77 with the reason on stderr when no nginx can be found.

nginx runs in the foreground as the current user with every file it writes
(configuration, pid, error log, access log, temporary folders) in the given
folder. Run as root, its workers are "nobody": the folder and the served tree
are then made readable for them.
"""

import argparse
import ctypes
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

SKIP_STATUS = 77

# The access log as one JSON object a line, with the keys of tessra-update-server's log
# (a header that was not sent is logged as an empty text).
LOG_FORMAT = ('{"method":"$request_method","target":"$request_uri","path":"$uri",'
              '"range":"$http_range","userAgent":"$http_user_agent","status":$status,'
              '"bytesSent":$body_bytes_sent,"remoteAddr":"$remote_addr",'
              '"remotePort":$remote_port}')

CONFIG = """\
worker_processes {workers};
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
{user}
events {{ worker_connections 4096; }}

http {{
    types {{ text/plain txt; application/octet-stream exe bin; }}
    default_type application/octet-stream;
    log_format tessra_test escape=json '{log_format}';
    client_body_temp_path {dir}/tmp/body;
    proxy_temp_path {dir}/tmp/proxy;
    fastcgi_temp_path {dir}/tmp/fastcgi;
    uwsgi_temp_path {dir}/tmp/uwsgi;
    scgi_temp_path {dir}/tmp/scgi;

{site}
}}
"""

# The site configuration the update-server package ships, served as shipped but
# for the address, the root and the log.
SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "nginx",
                    "tessra-updates.conf")


class NginxError(Exception):
    pass


def shipped_site(root, port, log):
    with open(SITE) as f:
        text = f.read()
    for directive, line in (("listen", "listen 127.0.0.1:%d;" % port),
                            ("server_name", "server_name localhost;"),
                            ("root", "root %s;" % root),
                            ("access_log", "access_log %s tessra_test;" % log)):
        text, count = re.subn(r"(?m)^(\s*)%s [^;]*;" % directive,
                              lambda m: m.group(1) + line, text)
        if count != 1:
            raise NginxError("%s has %d %s lines, not one" % (SITE, count, directive))
    return text


def find_nginx():
    """The nginx program, or None. Debian installs it in /usr/sbin, outside a user's PATH."""
    found = shutil.which("nginx")
    if found:
        return found
    for folder in ("/usr/sbin", "/usr/local/sbin", "/sbin"):
        path = os.path.join(folder, "nginx")
        if os.access(path, os.X_OK):
            return path
    return None


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # nginx (the master) gets SIGTERM when the process that started it dies.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _readable_for_all(path):
    """Lets nginx's unprivileged workers read the tree and pass through its folders."""
    def add(p, bits):
        mode = os.lstat(p).st_mode
        if not stat.S_ISLNK(mode):
            os.chmod(p, stat.S_IMODE(mode) | bits)
    add(path, 0o755 if os.path.isdir(path) else 0o444)
    for top, folders, files in os.walk(path):
        for f in folders:
            add(os.path.join(top, f), 0o555)
        for f in files:
            add(os.path.join(top, f), 0o444)
    # The folders above must let the workers through.
    parent = os.path.dirname(os.path.abspath(path))
    while parent not in ("/", ""):
        mode = os.stat(parent).st_mode
        if not mode & stat.S_IXOTH:
            os.chmod(parent, stat.S_IMODE(mode) | 0o111)
        parent = os.path.dirname(parent)


class NginxServer:
    def __init__(self, root, folder, log=None, workers=1, port=0):
        self.root = os.path.abspath(root)
        self.folder = os.path.abspath(folder)
        self.log = os.path.abspath(log) if log else os.path.join(self.folder, "access.log")
        self.workers = workers
        self.wanted_port = port
        self.port = None
        self.process = None
        self.program = find_nginx()

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def url(self, path):
        return "http://%s%s" % (self.address, path)

    def _write_config(self, port):
        os.makedirs(os.path.join(self.folder, "tmp"), exist_ok=True)
        user = ""
        if os.geteuid() == 0:
            # Workers drop to "nobody"; the log and temporary folders stay the master's.
            nobody = pwd.getpwnam("nobody")
            user = "user nobody %s;" % grp.getgrgid(nobody.pw_gid).gr_name
            os.umask(0o022)
            _readable_for_all(self.root)
            _readable_for_all(self.folder)
        config = CONFIG.format(workers=self.workers, dir=self.folder, user=user,
                               log_format=LOG_FORMAT,
                               site=shipped_site(self.root, port, self.log))
        path = os.path.join(self.folder, "nginx.conf")
        with open(path, "w") as f:
            f.write(config)
        return path

    def start(self, timeout=10.0):
        if not self.program:
            raise NginxError("nginx is not installed (make deps installs it)")
        if any(c in p for p in (self.root, self.folder, self.log) for c in " ;{}'\"\\$"):
            raise NginxError("a path that nginx's configuration cannot hold: %s" % self.folder)
        for _ in range(5):  # another process may take a probed port first
            port = self.wanted_port or free_port()
            config = self._write_config(port)
            error_log = os.path.join(self.folder, "error.log")
            with open(os.path.join(self.folder, "stderr.log"), "wb") as stderr:
                self.process = subprocess.Popen(
                    [self.program, "-p", self.folder, "-c", config, "-e", error_log,
                     "-g", "daemon off;"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                    preexec_fn=_die_with_parent)
            end = time.monotonic() + timeout
            while time.monotonic() < end and self.process.poll() is None:
                # nginx writes its pid file once its socket is bound: only then is an answer
                # on the port its own.
                if self._pid_written():
                    try:
                        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                            self.port = port
                            return self
                    except OSError:
                        pass
                time.sleep(0.02)
            if self.process.poll() is None:
                self.stop()
                raise NginxError("nginx did not answer on port %d" % port)
            err = ""
            for log in ("stderr.log", "error.log"):
                try:
                    with open(os.path.join(self.folder, log), errors="replace") as f:
                        err += f.read()
                except OSError:
                    pass
            self.process = None
            if "Address already in use" not in err or self.wanted_port:
                raise NginxError("nginx did not start: " + err.strip()[-2000:])
        raise NginxError("no free port for nginx")

    def _pid_written(self):
        try:
            with open(os.path.join(self.folder, "nginx.pid")) as f:
                return f.read().strip() == str(self.process.pid)
        except OSError:
            return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)  # fast shutdown, workers included
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def poll(self):
        """Like Popen.poll, so a machine can stop nginx like any other server."""
        return self.process.poll() if self.process else 0

    def terminate(self):
        self.stop()

    def wait(self, timeout=None):
        return 0

    def kill(self):
        self.stop()

    def requests(self):
        """The access log, one dict per complete line."""
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return [json.loads(line) for line in f if line.endswith("\n")]
        except FileNotFoundError:
            return []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--log")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bind", default="127.0.0.1", choices=["127.0.0.1"])
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args()
    if not find_nginx():
        print("nginx is not installed (make deps installs it)", file=sys.stderr)
        return SKIP_STATUS
    folder = tempfile.mkdtemp(prefix="nginx-")
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    server = NginxServer(args.root, folder, args.log, args.workers, args.port)
    try:
        server.start()
        print("listening on %d" % server.port, flush=True)
        while not stopping and server.process.poll() is None:
            time.sleep(0.05)
        return 0 if stopping else 1
    except NginxError as e:
        print(str(e), file=sys.stderr)
        return 1
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
