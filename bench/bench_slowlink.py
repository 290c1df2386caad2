#!/usr/bin/env python3
"""The update check over a slow, lossy line: 6 and 50 manifests from nginx,
fetched through a relay on 127.0.0.1 that stands in for a 300 ms round trip
with 1 % loss, by

  - ours:             download_bench check (the manifests at once, at most 6 connections)
  - ours, one by one: download_bench check-serial (the way before: one connection, in turn)
  - curl, one by one: one curl call for all the addresses (one connection, in turn)
  - curl --parallel --parallel-immediate, with its default of up to 50
    connections and with --parallel-max 6 (the same budget as ours)

The kernel here has no netem, so the line is a user-space TCP relay: every
chunk reaches the other side DELAY later, each way; a new connection passes
no byte before one round trip (its handshake); a lost packet is modelled as
what it costs TCP, a retransmission timeout: LOSS of the chunks arrive RTO
(0.5 s, Linux's 200 ms floor above the round trip) later, and LOSS of the
handshakes one initial timeout (1 s) later, each holding back what follows it.

Runs are interleaved, SLOWLINK_RUNS (default 5) of each; medians, and each
time over ours (above 1.00: slower than ours).

  bench_slowlink.py BUILD_DIR
"""

import asyncio
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nginx_server  # noqa: E402

DELAY = 0.150  # one way
LOSS = 0.01
RTO = 2 * DELAY + 0.2
SYN_RTO = 1.0
RUNS = max(1, int(os.environ.get("SLOWLINK_RUNS", "5")))
SIZES = (6, 50)


class SlowLink:
    """The relay: listens on a free port of 127.0.0.1, forwards to `target`."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.random = random.Random(1)
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.port = None
        threading.Thread(target=self._run, daemon=True).start()
        self.ready.wait()

    def reseed(self, seed):
        self.loop.call_soon_threadsafe(self.random.seed, seed)

    def _lost(self):
        return self.random.random() < LOSS

    def _run(self):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(
            asyncio.start_server(self._connection, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        self.ready.set()
        self.loop.run_forever()

    async def _connection(self, client_reader, client_writer):
        now = self.loop.time()
        # The handshake: SYN and SYN-ACK, either may be lost.
        handshake = 2 * DELAY + sum(SYN_RTO for _ in range(2) if self._lost())
        try:
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", self.target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            self._direction(client_reader, server_writer, now + handshake),
            self._direction(server_reader, client_writer, now))
        for writer in (client_writer, server_writer):
            writer.close()

    async def _direction(self, reader, writer, opens):
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                wait = due - self.loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                try:
                    if data is None:
                        if writer.can_write_eof():
                            writer.write_eof()
                        return
                    writer.write(data)
                    await writer.drain()
                except (ConnectionError, OSError):
                    return

        delivering = asyncio.ensure_future(deliver())
        last = 0.0
        while True:
            try:
                data = await reader.read(65536)
            except (ConnectionError, OSError):
                data = b""
            departs = max(self.loop.time(), opens)
            due = max(departs + DELAY + (RTO if data and self._lost() else 0.0), last)
            last = due
            queue.put_nowait((due, data or None))
            if not data:
                break
        await delivering


def timed(args, env=None):
    start = time.perf_counter()
    done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, env=env)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit("%s failed: %s" % (args[0], done.stderr.decode(errors="replace")[-500:]))
    return seconds


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    driver = os.path.join(sys.argv[1], "bin", "download_bench")
    if not os.access(driver, os.X_OK):
        print("missing %s (build first)" % driver)
        return 1
    if not nginx_server.find_nginx() or not shutil.which("curl"):
        print("nginx and curl are needed (make deps installs them)")
        return 1
    for k in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(k, None)
    tmp = tempfile.mkdtemp(prefix="bench-slowlink-")
    server = None
    try:
        www = os.path.join(tmp, "www")
        for i in range(max(SIZES)):
            os.makedirs(os.path.join(www, "p%d" % i))
            with open(os.path.join(www, "p%d" % i, "ver.txt"), "w") as f:
                f.write("Product=US\nYEAR=2007\nVERSION=%d\nSIZE=1000\nMESSAGE=bench\n" % i)
        appdata = os.path.join(tmp, "appdata", "Tessra", "2007")
        os.makedirs(appdata)
        with open(os.path.join(appdata, "ts07.cfg"), "w") as f:
            f.write("string:ui_prop_proxy_which=none\n")
        env = dict(os.environ, TESSRA_APPDATA=os.path.join(tmp, "appdata"))
        server = nginx_server.NginxServer(www, os.path.join(tmp, "nginx")).start()
        link = SlowLink(server.port)
        base = "http://127.0.0.1:%d" % link.port
        out = os.path.join(tmp, "out")

        def ours(n, serial=False):
            shutil.rmtree(out, ignore_errors=True)
            return timed([driver, "check-serial" if serial else "check", base, out, str(n)],
                         env=env)

        def curl(n, *options):
            shutil.rmtree(out, ignore_errors=True)
            args = ["curl", "-s", "-f", "--create-dirs"] + list(options)
            for i in range(n):
                args += ["-o", "%s/p%d/ver.txt" % (out, i), "%s/p%d/ver.txt" % (base, i)]
            return timed(args)

        clients = [
            ("ours", lambda n: ours(n)),
            ("ours, one by one", lambda n: ours(n, serial=True)),
            ("curl, one by one", lambda n: curl(n)),
            ("curl --parallel --parallel-immediate (up to 50)",
             lambda n: curl(n, "--parallel", "--parallel-immediate")),
            ("curl --parallel --parallel-immediate --parallel-max 6",
             lambda n: curl(n, "--parallel", "--parallel-immediate", "--parallel-max", "6")),
        ]
        print("update check through a relay: %d ms each way, %.0f %% loss (RTO %.1f s, "
              "handshake %.0f s); nginx on 127.0.0.1; %d runs each, interleaved; medians"
              % (DELAY * 1000, LOSS * 100, RTO, SYN_RTO, RUNS))
        for n in SIZES:
            times = {name: [] for name, _ in clients}
            for run in range(RUNS):
                for name, client in clients:
                    link.reseed(run * 1000 + n)
                    times[name].append(client(n))
                    missing = [i for i in range(n)
                               if not os.path.exists(os.path.join(out, "p%d" % i, "ver.txt"))]
                    if missing:
                        raise SystemExit("%s: %d manifests missing" % (name, len(missing)))
            mine = statistics.median(times["ours"])
            print("%d manifests:" % n)
            for name, _ in clients:
                median = statistics.median(times[name])
                print("  %-55s %6.2f s  %5.2f x ours" % (name, median, median / mine))
    finally:
        if server:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
