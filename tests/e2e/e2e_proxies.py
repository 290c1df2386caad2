#!/usr/bin/env python3
"""Whole runs through real forward proxies on 127.0.0.1.

tinyproxy takes every proxy mode of the tax program's settings (and the
desktop's proxy that "system" falls back to); its own log shows which requests
went through it. squid, a caching proxy, must never hide a new manifest from
the program. A case whose proxy program is not installed is skipped (exit
status 77) and says why.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import Machine, check, equal, flow, manifest, read_lines, wait_for  # noqa: E402

MINE = {}
SKIPPED = 77
INTERNET = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\"


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


class Skip(Exception):
    pass


def program(name):
    found = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if not found:
        raise Skip("%s is not installed (make deps installs it)" % name)
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Proxy:
    """A forward proxy on a free 127.0.0.1 port, with its files in a folder of its own."""

    name = None  # the proxy program

    def __init__(self):
        self.exe = program(self.name)
        self.folder = tempfile.mkdtemp(prefix="e2e-%s-" % self.name)
        self.port = free_port()
        self.proc = None

    def start(self):
        try:
            self.run(self.command())
        except BaseException:
            self.stop()
            raise
        return self

    def address(self):
        return "127.0.0.1:%d" % self.port

    def run(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            check(self.proc.poll() is None, "%s ended at start" % self.name)
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, self.name + " to listen")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def lines(self, log):
        try:
            with open(os.path.join(self.folder, log), encoding="latin-1") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


class Tinyproxy(Proxy):
    name = "tinyproxy"

    def command(self):
        conf = os.path.join(self.folder, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                    "LogLevel Info\nLogFile \"%s/tinyproxy.log\"\nPidFile \"%s/tinyproxy.pid\"\n"
                    % (self.port, self.folder, self.folder))
        return [self.exe, "-d", "-c", conf]

    def requests(self):
        """(method, absolute address) of every request the proxy took, in order."""
        out = []
        for line in self.lines("tinyproxy.log"):
            found = re.search(r"Request \(file descriptor \d+\): (\S+) (\S+) HTTP/", line)
            if found:
                out.append((found.group(1), found.group(2)))
        return out


class Squid(Proxy):
    """A memory cache that keeps answers without cache headers fresh for an hour,
    as caches set up for slow links do."""

    name = "squid"

    def command(self):
        # Started as root, squid works as its own user: it must reach its folder.
        os.chmod(self.folder, 0o777)
        conf = os.path.join(self.folder, "squid.conf")
        folder = self.folder
        with open(conf, "w") as f:
            f.write("\n".join([
                "http_port 127.0.0.1:%d" % self.port,
                "http_access allow localhost",
                "http_access deny all",
                "cache_mem 16 MB",
                "refresh_pattern . 60 100% 60",
                "logformat requests %Ss/%>Hs %rm %ru [%{Cache-Control}>h] [%{Pragma}>h]",
                "access_log stdio:%s/access.log requests" % folder,
                "cache_log %s/cache.log" % folder,
                "cache_store_log none",
                "pid_filename %s/squid.pid" % folder,
                "coredump_dir %s" % folder,
                "pinger_enable off",
                "shutdown_lifetime 0 seconds"]) + "\n")
        return [self.exe, "-N", "-f", conf]

    def requests(self):
        """(cache status, method, address, Cache-Control, Pragma) of every request
        (the start-up probe's connection without a request is left out)."""
        out = []
        for line in self.lines("access.log"):
            found = re.match(r"(\S+) (\S+) (\S+) \[(.*)\] \[(.*)\]$", line)
            if found and found.group(2) != "-":
                out.append(found.groups())
        return out


class ProxyMachine(Machine):
    """A machine whose program gets extra environment variables."""

    def __init__(self, build, name):
        super().__init__(build, name)
        self.extra_env = {}

    def env(self, elevation, autopilot, transcript):
        env = super().env(elevation, autopilot, transcript)
        env.update(self.extra_env)
        return env

    def update_requests(self):
        return [r for r in self.requests() if r[1].startswith("/updates/")]


def proxy_choice(which, proxy=None):
    """ts07.cfg's proxy lines: the choice, and the proxy's host and port when given."""
    text = "string:ui_prop_proxy_which=%s\n" % which
    if proxy:
        host, port = proxy.address().split(":")
        text += ("string:ui_prop_proxy_http_server=%s\nstring:ui_prop_proxy_http_port=%s\n"
                 % (host, port))
    return text


@case
def proxy_modes_through_tinyproxy(build):
    """Every proxy mode with a real forward proxy: its log holds exactly the proxied requests."""
    m = ProxyMachine(build, "proxy-modes")
    tiny = None
    try:
        server = m.start_server()
        tiny = Tinyproxy().start()
        proxy = tiny.address()
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 100, 10, "Expected in January"))
        m.serve("updates/2007/win/ny/5/ver.txt", manifest("NY", 4, 10, "Expected in February"))
        m.serve("proxy.pac", "function FindProxyForURL(url, host) {\n"
                "  if (host == \"127.0.0.1\") return \"PROXY %s; DIRECT\";\n"
                "  return \"DIRECT\";\n}\n" % proxy)
        request = m.request_file([("us", 100), ("ny", 5)])
        paths = ["/updates/2007/win/us/100/ver.txt", "/updates/2007/win/ny/5/ver.txt"]
        proxied = [("GET", "http://%s%s" % (server, p)) for p in paths]
        desktop = {"http_proxy": "http://%s/" % proxy, "no_proxy": ""}
        runs = [
            # what, ts07.cfg, registry stand-in's Internet settings, environment, proxied
            ("tessra", proxy_choice("tessra", tiny), {}, {}, True),
            ("signature", proxy_choice("signature", tiny), {}, {}, True),
            ("system from the registry stand-in", proxy_choice("system"),
             {"ProxyEnable": "1", "ProxyServer": "http=%s;https=127.0.0.1:9" % proxy}, {}, True),
            ("system disabled in the registry stand-in", proxy_choice("system"),
             {"ProxyEnable": "0", "ProxyServer": proxy}, desktop, False),
            ("system from the desktop", proxy_choice("system"), {}, desktop, True),
            ("system, the desktop bypasses the server", proxy_choice("system"), {},
             dict(desktop, no_proxy="localhost,127.0.0.1"), False),
            ("pac", proxy_choice("pac"),
             {"AutoConfigURL": "http://%s/proxy.pac" % server}, {}, True),
            ("none", proxy_choice("none", tiny),
             {"ProxyEnable": "1", "ProxyServer": proxy}, desktop, False),
        ]
        for what, ts07, internet, env, through in runs:
            m.write(m.ts07, ts07)
            m.write(m.registry, "SOFTWARE\\ZVN\\2007\\Edition=premium\n" + "".join(
                "%s%s=%s\n" % (INTERNET, name, value) for name, value in internet.items()))
            m.extra_env = env
            seen, served = len(tiny.requests()), len(m.update_requests())
            events = m.run([request, "/N", server], ["NoUpdatesAvailDlg 2"])
            equal(flow(events), ["start", "screen NoUpdatesAvailDlg",
                                 "result NoUpdatesAvailDlg 2", "end"], what + ": course of the run")
            wait_for(lambda: len(m.update_requests()) >= served + 2, what + ": the manifests")
            # A check fetches its manifests at once: logged in any order.
            equal(sorted(r[1] for r in m.update_requests()[served:]), sorted(paths),
                  what + ": served")
            equal(sorted(tiny.requests()[seen:]), sorted(proxied) if through else [],
                  what + ": proxy log")
            print("%s: %d requests through tinyproxy" % (what, len(tiny.requests()) - seen))
    finally:
        if tiny:
            tiny.stop()
        m.cleanup()


@case
def caching_proxy_never_hides_a_new_manifest(build):
    """A cache holds the old manifest; the program's manifest requests still get the new one."""
    m = Machine(build, "caching-proxy")
    squid = None
    try:
        server = m.start_server()
        squid = Squid().start()
        m.write(m.ts07, proxy_choice("tessra", squid))
        size = m.serve("updates/2007/win/us/100/pupd.exe", m.installer())
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 100, size, "Expected in January"))
        request = m.request_file([("us", 100)])
        address = "http://%s/updates/2007/win/us/100/ver.txt" % server

        events = m.run([request, "/N", server], ["NoUpdatesAvailDlg 2"])
        equal(flow(events), ["start", "screen NoUpdatesAvailDlg", "result NoUpdatesAvailDlg 2",
                             "end"], "first run: all current")

        # The publisher puts out version 101. A plain request through the
        # cache still gets the old manifest.
        m.serve("updates/2007/win/us/100/ver.txt", manifest("US", 101, size, "Federal forms final"))
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({"http": "http://" + squid.address()}))
        stale = opener.open(address, timeout=10).read().decode("latin-1")
        check("VERSION=100" in stale, "the cache holds the old manifest: %r" % stale)

        events = m.run([request, "/N", server], ["AllUpdsAvailDlg 2", "ResumeCancelDlg 2"])
        equal(flow(events), ["start", "screen AllUpdsAvailDlg", "screen ResumeCancelDlg",
                             "result ResumeCancelDlg 2", "result AllUpdsAvailDlg 2", "end"],
              "second run: the new version is offered")

        wait_for(lambda: len(squid.requests()) >= 3, "squid's log")
        log = squid.requests()
        equal([(method, url, control, pragma) for _, method, url, control, pragma in log],
              [("GET", address, "no-cache", "no-cache"), ("GET", address, "-", "-"),
               ("GET", address, "no-cache", "no-cache")], "requests through the cache")
        statuses = [status for status, *_ in log]
        check("HIT" in statuses[1] and "HIT" not in statuses[2],
              "plain request from the cache, the program's from the server: %r" % statuses)
        equal(len([r for r in read_lines(m.server_log) if r["path"].endswith("/ver.txt")]), 2,
              "the server saw the program's two requests only")
        print("squid's log:\n  " + "\n  ".join(" ".join(r) for r in log))
    finally:
        if squid:
            squid.stop()
        m.cleanup()


if __name__ == "__main__":
    try:
        sys.exit(e2e.main(MINE))
    except Skip as skip:
        print("SKIPPED: %s" % skip)
        sys.exit(SKIPPED)
