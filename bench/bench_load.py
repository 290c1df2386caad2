#!/usr/bin/env python3
"""Update checks at scale, small: CLIENTS copies of the update check (the
transfer job's RunList over three manifests, fetched at once over a
connection each, as an installed copy makes it) run back to back against nginx on 127.0.0.1 for
SECONDS, for 50 and for 200 clients at once. Reports checks per second,
requests per second, failures (there must be none) and check latencies.

  bench_load.py BUILD_DIR          (LOAD_SECONDS, default 5; LOAD_CLIENTS, default "50 200")
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nginx_server  # noqa: E402

MANIFESTS = 3  # federal, one state, the help files


def nginx_cpu_seconds(master):
    """CPU time of nginx's master and workers so far."""
    total = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(pid) == master or int(fields[1]) == master:
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    driver = os.path.join(sys.argv[1], "bin", "download_bench")
    if not os.access(driver, os.X_OK):
        print("missing %s (build first)" % driver)
        return 1
    if not nginx_server.find_nginx():
        print("nginx is not installed (make deps installs it)")
        return 1
    seconds = float(os.environ.get("LOAD_SECONDS", "5"))
    clients = [int(c) for c in os.environ.get("LOAD_CLIENTS", "50 200").split()]
    for k in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(k, None)
    tmp = tempfile.mkdtemp(prefix="bench-load-")
    # The simulated copies write their manifests to memory where it can: thousands of
    # copies deleting and creating files in one folder would measure the disk, not the server.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    outs = tempfile.mkdtemp(prefix="bench-load-", dir=shm)
    server = None
    failed = False
    try:
        www = os.path.join(tmp, "www")
        for i in range(MANIFESTS):
            os.makedirs(os.path.join(www, "p%d" % i))
            with open(os.path.join(www, "p%d" % i, "ver.txt"), "w") as f:
                # A manifest of the usual size.
                f.write("Product=p%d\r\nYEAR=2007\r\nVERSION=2%02d\r\nSIZE=23456789\r\n"
                        "MESSAGE=Forms updated for the latest changes to the tax law.\r\n" % (i, i))
        os.makedirs(os.path.join(tmp, "nginx"))
        server = nginx_server.NginxServer(www, os.path.join(tmp, "nginx"), log=os.devnull).start()
        env = dict(os.environ, TESSRA_APPDATA=os.path.join(tmp, "appdata"))
        os.makedirs(os.path.join(tmp, "appdata", "Tessra", "2007"))
        with open(os.path.join(tmp, "appdata", "Tessra", "2007", "ts07.cfg"), "w") as f:
            f.write("string:ui_prop_proxy_which=none\n")
        print("update checks of %d manifests against one nginx worker on 127.0.0.1, %g s each:"
              % (MANIFESTS, seconds))
        for n in clients:
            out = os.path.join(outs, "out%d" % n)
            cpu = nginx_cpu_seconds(server.process.pid)
            run = subprocess.run([driver, "load", server.url(""), out, str(n), str(seconds),
                                  str(MANIFESTS)], capture_output=True, text=True, env=env,
                                 timeout=seconds + 60)
            cpu = nginx_cpu_seconds(server.process.pid) - cpu
            f = dict(w.split("=", 1) for w in run.stdout.split())
            if not f:
                print("  %d clients: the driver failed: %s" % (n, run.stderr.strip()))
                failed = True
                continue
            print("  %4s clients  %6s checks  %6s checks/s  %6.0f requests/s  failures %s"
                  "  latency p50 %s ms, p99 %s ms" % (
                      f["clients"], f["checks"], f["checks_per_s"],
                      float(f["checks_per_s"]) * MANIFESTS, f["failures"], f["p50_ms"],
                      f["p99_ms"]))
            # What the server itself spent: checks per second of one core.
            print("        nginx used %.2f s of CPU: %.0f checks per CPU second"
                  % (cpu, int(f["checks"]) / cpu if cpu > 0 else float("inf")))
            failed = failed or run.returncode != 0
            shutil.rmtree(out, ignore_errors=True)
    finally:
        if server:
            server.stop()
        shutil.rmtree(tmp, ignore_errors=True)
        shutil.rmtree(outs, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
